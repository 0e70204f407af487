// Cleaning engine text before an agent sees it: secrets become "<redacted>",
// then URLs become "<url>", whitespace runs become one space, and the result
// is cut to _DETAIL_MAX code points.
//
// Which spans are secrets is decided by the interpreter's own `re` engine
// (the _SECRETISH pattern, case-insensitive with Unicode classes), so that
// redaction agrees with it on every input, odd case folds included. A native
// gate only skips positions where no secret can start. The stages run in one
// pass over the text: once the cleaned text is known to be longer than the
// cap, the rest of the body is never looked at.
// Nothing is cut before redaction: every secret is matched against the whole
// text, so a secret that runs past the cap is still replaced as a whole.
#include <array>
#include <string_view>

#include "common/text.hpp"
#include "explain/explain.hpp"
#include "explain/texts.hpp"

namespace kelvo::explain {

namespace {

constexpr size_t kDetailMax = 300;

PyObject* g_secret_match = nullptr;  // _SECRETISH.match, kept for the module's life
PyObject* g_end = nullptr;           // interned "end"

// Could `c` match the ASCII letter `x` (lower case), `_` or `-` under the
// engine's case-insensitive rules? Exact for ASCII; for anything else a
// superset: every code point whose simple case mapping reaches ASCII, plus the
// dotless i and long s that the engine treats as case variants of i and s.
inline bool may_be(char32_t c, char x) {
    const bool letter = x >= 'a' && x <= 'z';
    if (c < 0x80) return letter ? (c | 0x20) == static_cast<char32_t>(x) : c == static_cast<char32_t>(x);
    if (!letter) return false;
    const Py_UCS4 lo = Py_UNICODE_TOLOWER(static_cast<Py_UCS4>(c));
    const Py_UCS4 up = Py_UNICODE_TOUPPER(static_cast<Py_UCS4>(c));
    return lo < 0x80 || up < 0x80 || lo == 0x131 || lo == 0x17F;
}

// What an ASCII code point asks of the scan: nothing (copied as it is), a
// whitespace run, a look for a secret (k, s, b, a in either case), or a look
// for a URL (h).
enum class Ascii : unsigned char { kPlain, kSpace, kSecret, kLink };

constexpr auto kAscii = [] {
    std::array<Ascii, 0x80> t{};
    // The interpreter's ASCII whitespace (str.isspace): \t \n \v \f \r, the
    // four separators 0x1c-0x1f, and the space.
    for (unsigned char c : {0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x1c, 0x1d, 0x1e, 0x1f, 0x20}) t[c] = Ascii::kSpace;
    for (char c : {'k', 's', 'b', 'a', 'K', 'S', 'B', 'A'}) t[static_cast<unsigned char>(c)] = Ascii::kSecret;
    t['h'] = Ascii::kLink;
    return t;
}();

// One left-to-right pass that does all three stages at once. No secret can
// begin inside "http://" or "https://" (the s of https is followed by a
// colon), "<redacted>" holds no "h", and it holds no whitespace: a URL is
// therefore "http" or "https" and "://" in the text itself, then the run of
// non-whitespace of the redacted text, through any secrets inside it.
template <class CharT>
class Cleaner {
public:
    Cleaner(std::span<const CharT> s, PyObject* text) : s_(s), text_(text) {}

    // One code point past the cap is enough to know the text is too long.
    nb::str run() {
        size_t i = 0;
        while (i < s_.size() && n_ <= kDetailMax) {
            const char32_t c = s_[i];
            if (c < 0x80) {
                switch (kAscii[c]) {
                    case Ascii::kPlain:
                        put(c);
                        ++i;
                        continue;
                    case Ascii::kSpace:
                        i = past_spaces(i);
                        continue;
                    case Ascii::kLink:
                        i = put_span(i, url_end(i), kUrlToken);
                        continue;
                    case Ascii::kSecret:
                        break;
                }
            } else if (is_space(c)) {
                i = past_spaces(i);
                continue;
            }
            i = put_span(i, secret_end(i), kRedacted);
        }
        if (n_ <= kDetailMax) return from_u32(u32v(out_.data(), n_));
        u32 cut(out_.data(), kDetailMax);
        cut += u32_from_utf8(kEllipsis);
        return from_u32(cut);
    }

private:
    // The end of the whitespace run at `i`, which becomes one space before
    // whatever follows it (none can start a secret or a URL).
    size_t past_spaces(size_t i) {
        gap_ = n_ > 0;
        while (i < s_.size() && is_space(s_[i])) ++i;
        return i;
    }

    // Each put adds at most one space and a token while the text is within
    // the cap, so the buffer never overflows.
    void put(char32_t c) {
        if (gap_) {
            out_[n_++] = U' ';
            gap_ = false;
        }
        out_[n_++] = c;
    }
    void put(std::string_view token) {
        for (char c : token) put(static_cast<char32_t>(c));
    }
    // `token` for the span [i, end) when there is one, else the code point at
    // i; returns where the scan goes on.
    size_t put_span(size_t i, size_t end, std::string_view token) {
        if (end == i) {
            put(s_[i]);
            return i + 1;
        }
        put(token);
        return end;
    }

    // Could `lit` be matched at i, in some case?
    bool may_read(size_t i, std::string_view lit) const {
        if (i + lit.size() > s_.size()) return false;
        for (size_t k = 0; k < lit.size(); ++k)
            if (!may_be(s_[i + k], lit[k])) return false;
        return true;
    }

    // Every secret begins with "kelvo_sk_", "sk-", "bearer", or "api" and
    // "key" with an optional "_" or "-" between, in some case. An ASCII
    // letter can begin only the one that starts with it.
    bool may_start(size_t i) const {
        const char32_t c = s_[i];
        const char32_t lower = c < 0x80 ? (c | 0x20) : 0;
        if ((!lower || lower == 'k') && may_read(i, "kelvo_sk_")) return true;
        if ((!lower || lower == 's') && may_read(i, "sk-")) return true;
        if ((!lower || lower == 'b') && may_read(i, "bearer")) return true;
        if ((lower && lower != 'a') || !may_read(i, "api")) return false;
        const bool sep = i + 3 < s_.size() && (s_[i + 3] == '_' || s_[i + 3] == '-');
        return may_read(i + (sep ? 4 : 3), "key");
    }

    // End of the secret starting exactly at `i` (the engine's match), or `i`.
    size_t secret_end(size_t i) const {
        const char32_t c = s_[i];
        if ((c < 0x80 && kAscii[c] != Ascii::kSecret) || !may_start(i)) return i;
        return engine_match_end(i);
    }

    [[gnu::noinline]] size_t engine_match_end(size_t i) const {
        nb::object pos = steal(PyLong_FromSize_t(i));
        PyObject* args[] = {text_, pos.ptr()};
        nb::object m = steal(PyObject_Vectorcall(g_secret_match, args, 2, nullptr));
        if (m.is_none()) return i;
        nb::object end = steal(PyObject_CallMethodNoArgs(m.ptr(), g_end));
        const Py_ssize_t e = PyLong_AsSsize_t(end.ptr());
        if (e < 0) raise_current();
        return static_cast<size_t>(e);
    }

    bool reads(size_t i, std::string_view lit) const {
        if (i + lit.size() > s_.size()) return false;
        for (size_t k = 0; k < lit.size(); ++k)
            if (s_[i + k] != static_cast<CharT>(lit[k])) return false;
        return true;
    }

    // End of the URL starting at `i` (case-sensitive, as the _URL pattern),
    // or `i`.
    size_t url_end(size_t i) const {
        if (!reads(i, "http")) return i;
        size_t j = i + (reads(i + 4, "s") ? 5 : 4);
        if (!reads(j, "://")) return i;
        j += 3;
        if (j == s_.size() || is_space(s_[j])) return i;
        while (j < s_.size()) {
            if (const size_t end = secret_end(j); end > j) {
                j = end;
                continue;
            }
            if (is_space(s_[j])) break;
            ++j;
        }
        return j;
    }

    std::span<const CharT> s_;
    PyObject* text_;
    std::array<char32_t, kDetailMax + 16> out_;
    size_t n_ = 0;
    bool gap_ = false;
};

template <class CharT>
nb::str clean_view(std::span<const CharT> s, PyObject* text) {
    return Cleaner<CharT>(s, text).run();
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
    g_secret_match = steal(PyObject_GetAttrString(secretish.ptr(), "match")).release().ptr();
    g_end = interned("end");
}

nb::str clean(nb::handle text) {
    if (!PyUnicode_Check(text.ptr())) return nb::str("");
    // Hold the text: the engine's matcher is called with it while we read it.
    nb::object keep = borrow(text);
    StrView view(text);
    return view.visit([&](auto s) { return clean_view(s, text.ptr()); });
}

}  // namespace kelvo::explain
