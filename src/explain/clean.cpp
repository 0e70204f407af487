// Cleaning engine text before an agent sees it: secrets become "<redacted>",
// then URLs become "<url>", whitespace runs become one space, and the result
// is cut to _DETAIL_MAX code points. The interpreter's `re` finds secrets and
// URLs with _SECRETISH and _URL themselves, so the cleaning agrees with them
// on every input, odd case folds included.
//
// Whitespace is squeezed first rather than last: both patterns only ask
// whether whitespace is there (\s+, \s*, \S), so they match the squeezed text
// as they match the original, and what they replace never begins or ends with
// whitespace. That lets a long body (an HTML error page, a dumped request) be
// cleaned a prefix of words at a time. A match spans at most three words (an
// api-key pair: key, "=", value), so every word of a prefix but the last two
// cleans as it does in the whole text; once the prefix's result is longer
// than the cap even without the last two words' share (counted twice over,
// since a replacement may be longer than what it replaces), the result is
// decided. Otherwise the prefix grows fourfold, up to the whole text.
//
// A word longer than what is left to read (a body without whitespace, such as
// minified JSON) is cut. A match running into the cut is replaced all the
// same, by the same token; only one that needs a few more characters to match
// at all (a "sk-" key of 8, an "https://" with its first) changes, and such a
// match begins among the last kCutSlack characters read.
#include <algorithm>
#include <memory>

#include "common/text.hpp"
#include "explain/explain.hpp"
#include "explain/texts.hpp"

namespace kelvo::explain {

namespace {

constexpr Py_ssize_t kDetailMax = 300;
constexpr Py_ssize_t kCutSlack = 16;

PyObject* g_secret_sub = nullptr;  // _SECRETISH.sub
PyObject* g_url_sub = nullptr;     // _URL.sub
PyObject* g_redacted = nullptr;    // "<redacted>"
PyObject* g_url_token = nullptr;   // "<url>"
PyObject* g_ellipsis = nullptr;    // "…"

// The words of a text up to the first that reaches `goal` code points, joined
// by single spaces.
struct Words {
    nb::object text;
    Py_ssize_t last_two = 0;  // where the last two words (or a cut word's last characters) begin
    bool whole = false;       // every word of the text is in it
};

template <class C>
Words squeeze(nb::handle src, std::span<const C> s, Py_ssize_t goal) {
    const size_t n = s.size();
    size_t i = 0;
    while (i < n && is_space(s[i])) ++i;
    const size_t first = i;
    // Until a separator other than one plain space turns up, the words are
    // the text itself from `first` on, and nothing is written.
    std::unique_ptr<TextWriter> out;
    Py_ssize_t len = 0, starts[2] = {0, 0};
    size_t end = first;
    while (i < n && len < goal) {
        const size_t limit = i + static_cast<size_t>(std::max(goal - len, 2 * kCutSlack));
        size_t e = i;
        while (e < n && e < limit && !is_space(s[e])) ++e;
        if (out) {
            if (len) out->ascii(" ");
            out->sub(src, static_cast<Py_ssize_t>(i), static_cast<Py_ssize_t>(e));
        }
        if (len) ++len;
        starts[0] = starts[1], starts[1] = len;
        len += static_cast<Py_ssize_t>(e - i);
        end = e;
        if (e < n && !is_space(s[e])) {  // cut inside a long word
            starts[0] = len - kCutSlack;
            i = e;
            break;
        }
        i = e;
        while (i < n && is_space(s[i])) ++i;
        if (!out && i < n && (i - e != 1 || s[e] != ' ')) {
            out = std::make_unique<TextWriter>(std::min(goal, static_cast<Py_ssize_t>(n)));
            out->sub(src, static_cast<Py_ssize_t>(first), static_cast<Py_ssize_t>(end));
        }
    }
    nb::object text = out ? nb::object(out->finish())
                          : steal(PyUnicode_Substring(src.ptr(), static_cast<Py_ssize_t>(first),
                                                      static_cast<Py_ssize_t>(end)));
    return {std::move(text), starts[0], i >= n};
}

nb::object sub(PyObject* pattern_sub, PyObject* token, nb::handle text) {
    PyObject* args[] = {token, text.ptr()};
    return steal(PyObject_Vectorcall(pattern_sub, args, 2, nullptr));
}

}  // namespace

void init_clean(nb::module_& m) {
    nb::object compile = import_attr("re", "compile");
    nb::object secretish = compile(nb::str(kSecretPattern), import_attr("re", "IGNORECASE"));
    nb::object url = compile(nb::str(kUrlPattern));
    m.attr("_SECRETISH") = secretish;
    m.attr("_URL") = url;
    m.attr("_DETAIL_MAX") = kDetailMax;
    g_secret_sub = nb::object(secretish.attr("sub")).release().ptr();
    g_url_sub = nb::object(url.attr("sub")).release().ptr();
    g_redacted = interned(kRedacted);
    g_url_token = interned(kUrlToken);
    g_ellipsis = interned(kEllipsis);
}

nb::str clean(nb::handle text) {
    if (!PyUnicode_Check(text.ptr())) return nb::str("");
    const StrView view(text);
    for (Py_ssize_t goal = 2 * kDetailMax;; goal *= 4) {
        Words words = view.visit([&](auto s) { return squeeze(text, s, goal); });
        nb::object out = sub(g_url_sub, g_url_token, sub(g_secret_sub, g_redacted, words.text));
        const Py_ssize_t n = PyUnicode_GET_LENGTH(out.ptr());
        const Py_ssize_t unsettled = 2 * (PyUnicode_GET_LENGTH(words.text.ptr()) - words.last_two) + 10;
        if (n <= kDetailMax && words.whole) return nb::steal<nb::str>(out.release());
        if (n - unsettled > kDetailMax || words.whole) {
            nb::object head = steal(PyUnicode_Substring(out.ptr(), 0, kDetailMax));
            return nb::steal<nb::str>(steal(PyUnicode_Concat(head.ptr(), g_ellipsis)).release());
        }
    }
}

}  // namespace kelvo::explain
