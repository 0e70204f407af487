// Cleaning engine text before an agent sees it: secrets become "<redacted>",
// then URLs become "<url>", whitespace runs become one space, and the result
// is cut to _DETAIL_MAX code points. The interpreter's `re` finds secrets,
// URLs and whitespace, so the cleaning agrees with _SECRETISH and _URL on
// every input, odd case folds included.
//
// A short text is cleaned in those four steps. A long one (an HTML error page,
// a dumped request) is read left to right with one pattern that matches, at
// each place, a secret, a URL (read through any secrets inside it, as the
// redacted text would be), a whitespace run, or a stretch of plain text, and
// the reading stops once the result is longer than the cap.
#include <string>

#include "explain/explain.hpp"
#include "explain/texts.hpp"

namespace kelvo::explain {

namespace {

constexpr Py_ssize_t kDetailMax = 300;
// Up to this length the four steps over the whole text are the cheapest.
constexpr Py_ssize_t kWholeMax = 4 * kDetailMax;

PyObject* g_secret_sub = nullptr;  // _SECRETISH.sub
PyObject* g_url_sub = nullptr;     // _URL.sub
PyObject* g_finditer = nullptr;    // the one pattern's finditer
PyObject* g_redacted = nullptr;    // "<redacted>"
PyObject* g_url_token = nullptr;   // "<url>"
PyObject* g_space = nullptr;       // " "
PyObject* g_ellipsis = nullptr;    // "…"
PyObject* s_span = nullptr;
PyObject* s_lastindex = nullptr;

// The outer groups of the one pattern (the secret pattern brings a group of
// its own, and a match reports the outermost group that closed last).
enum Group : long { kSecret = 1, kUrl = 3, kSpaces = 5 };

// The result, cut to the cap with an ellipsis when it is longer.
nb::str capped(nb::object text) {
    if (PyUnicode_GET_LENGTH(text.ptr()) <= kDetailMax) return nb::steal<nb::str>(text.release());
    nb::object head = steal(PyUnicode_Substring(text.ptr(), 0, kDetailMax));
    return nb::steal<nb::str>(steal(PyUnicode_Concat(head.ptr(), g_ellipsis)).release());
}

nb::str clean_whole(nb::handle text) {
    PyObject* redacted_args[] = {g_redacted, text.ptr()};
    nb::object redacted = steal(PyObject_Vectorcall(g_secret_sub, redacted_args, 2, nullptr));
    PyObject* url_args[] = {g_url_token, redacted.ptr()};
    nb::object linked = steal(PyObject_Vectorcall(g_url_sub, url_args, 2, nullptr));
    nb::object words = steal(PyUnicode_Split(linked.ptr(), nullptr, -1));
    return capped(steal(PyUnicode_Join(g_space, words.ptr())));
}

nb::str clean_streamed(nb::handle text) {
    nb::object matches = steal(PyObject_CallOneArg(g_finditer, text.ptr()));
    TextWriter out;
    Py_ssize_t written = 0, copied = 0;
    bool gap = false;  // a whitespace run is pending between two pieces
    auto put = [&](auto&& write, Py_ssize_t n) {
        if (gap) out.text(g_space), ++written, gap = false;
        write();
        written += n;
    };
    while (written <= kDetailMax) {
        PyObject* next = PyIter_Next(matches.ptr());
        if (!next) {
            if (PyErr_Occurred()) raise_current();
            break;
        }
        nb::object m = nb::steal(next);
        nb::object span = steal(PyObject_CallMethodNoArgs(m.ptr(), s_span));
        const Py_ssize_t b = PyLong_AsSsize_t(PyTuple_GET_ITEM(span.ptr(), 0));
        const Py_ssize_t e = PyLong_AsSsize_t(PyTuple_GET_ITEM(span.ptr(), 1));
        // Characters no alternative claims are plain text.
        if (b > copied) put([&] { out.sub(text, copied, b); }, b - copied);
        copied = e;
        nb::object group = steal(PyObject_GetAttr(m.ptr(), s_lastindex));
        switch (group.is_none() ? 0 : PyLong_AsLong(group.ptr())) {
            case kSecret: put([&] { out.text(g_redacted); }, PyUnicode_GET_LENGTH(g_redacted)); break;
            case kUrl: put([&] { out.text(g_url_token); }, PyUnicode_GET_LENGTH(g_url_token)); break;
            case kSpaces: gap = written > 0; break;
            default: put([&] { out.sub(text, b, e); }, e - b); break;
        }
    }
    if (written <= kDetailMax && copied < PyUnicode_GET_LENGTH(text.ptr()))
        put([&] { out.sub(text, copied, PyUnicode_GET_LENGTH(text.ptr())); }, 0);
    return capped(out.finish());
}

}  // namespace

void init_clean(nb::module_& m) {
    nb::object compile = import_attr("re", "compile");
    nb::object ignorecase = import_attr("re", "IGNORECASE");
    nb::object secretish = compile(nb::str(kSecretPattern), ignorecase);
    nb::object url = compile(nb::str(kUrlPattern));
    m.attr("_SECRETISH") = secretish;
    m.attr("_URL") = url;
    m.attr("_DETAIL_MAX") = kDetailMax;

    // A secret; a URL, read through the secrets inside it; a whitespace run. Otherwise up to a cap's worth of plain text, a single
    // space allowed between words, stopping where a secret or a URL may start
    // (a place where none does after all is left unclaimed: plain text too).
    const std::string secret = std::string("(?i:") + kSecretPattern + ")";
    const std::string start = "(?i:kelvo_sk_|sk-|bearer|api)|https?://";
    const std::string plain = "(?:(?!" + start + ")\\S|[ ](?=(?!" + start + ")\\S)){1," +
                              std::to_string(kDetailMax) + "}";
    const std::string one = "(" + secret + ")|(https?://(?:" + secret + "|\\S)+)|(\\s+)|" + plain;
    g_finditer = nb::object(compile(nb::str(one.c_str())).attr("finditer")).release().ptr();
    g_secret_sub = nb::object(secretish.attr("sub")).release().ptr();
    g_url_sub = nb::object(url.attr("sub")).release().ptr();
    g_redacted = interned(kRedacted);
    g_url_token = interned(kUrlToken);
    g_space = interned(" ");
    g_ellipsis = interned(kEllipsis);
    s_span = interned("span");
    s_lastindex = interned("lastindex");
}

nb::str clean(nb::handle text) {
    if (!PyUnicode_Check(text.ptr())) return nb::str("");
    return PyUnicode_GET_LENGTH(text.ptr()) <= kWholeMax ? clean_whole(text) : clean_streamed(text);
}

}  // namespace kelvo::explain
