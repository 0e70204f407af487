// Cleaning engine text before an agent sees it: secrets become "<redacted>",
// then URLs become "<url>", whitespace runs become one space, and the result
// is cut to _DETAIL_MAX code points.
//
// Which spans are secrets is decided by the interpreter's own `re` engine
// (the _SECRETISH pattern, case-insensitive with Unicode classes), so that
// redaction agrees with it on every input, odd case folds included. A native
// gate only skips positions where no secret can start, and the text flows
// through the stages one code point at a time: once the cleaned text is known
// to be longer than the cap, the rest of the body is never looked at.
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

constexpr long kEnd = -1;

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

// ASCII letters that can begin a secret: k, s, b, a in either case.
constexpr auto kFirst = [] {
    std::array<bool, 0x80> t{};
    for (char c : {'k', 's', 'b', 'a', 'K', 'S', 'B', 'A'}) t[static_cast<unsigned char>(c)] = true;
    return t;
}();

// The text with every secret replaced, produced left to right.
template <class CharT>
class Redacted {
public:
    Redacted(std::basic_string_view<CharT> s, PyObject* text) : s_(s), text_(text) {}

    long next() {
        if (tok_) return token_char();
        if (i_ >= s_.size()) return kEnd;
        const char32_t c = s_[i_];
        if (c < 0x80 && !kFirst[c]) {
            ++i_;
            return static_cast<long>(c);
        }
        if (may_start(i_)) {
            const size_t end = secret_end(i_);
            if (end > i_) {
                i_ = end;
                tok_ = kRedacted;
                return token_char();
            }
        }
        return static_cast<long>(s_[i_++]);
    }

    // Pass over whitespace at the current position (none can start a secret).
    void skip_spaces() {
        if (tok_) return;
        while (i_ < s_.size() && is_space(s_[i_])) ++i_;
    }

private:
    long token_char() {
        const long c = static_cast<unsigned char>(*tok_++);
        if (!*tok_) tok_ = nullptr;
        return c;
    }

    // Could `lit` be matched at i, in some case?
    bool may_read(size_t i, std::string_view lit) const {
        if (i + lit.size() > s_.size()) return false;
        for (size_t k = 0; k < lit.size(); ++k)
            if (!may_be(s_[i + k], lit[k])) return false;
        return true;
    }

    // Every secret begins with "kelvo_sk_", "sk-", "bearer", or "api" and
    // "key" with an optional "_" or "-" between, in some case.
    bool may_start(size_t i) const {
        if (may_read(i, "kelvo_sk_") || may_read(i, "sk-") || may_read(i, "bearer")) return true;
        if (!may_read(i, "api")) return false;
        const bool sep = i + 3 < s_.size() && (s_[i + 3] == '_' || s_[i + 3] == '-');
        return may_read(i + (sep ? 4 : 3), "key");
    }

    // End of the secret starting exactly at `i` (the engine's match), or `i`.
    size_t secret_end(size_t i) const {
        nb::object pos = steal(PyLong_FromSize_t(i));
        PyObject* args[] = {text_, pos.ptr()};
        nb::object m = steal(PyObject_Vectorcall(g_secret_match, args, 2, nullptr));
        if (m.is_none()) return i;
        nb::object end = steal(PyObject_CallMethodNoArgs(m.ptr(), g_end));
        const Py_ssize_t e = PyLong_AsSsize_t(end.ptr());
        if (e < 0) raise_current();
        return static_cast<size_t>(e);
    }

    std::basic_string_view<CharT> s_;
    PyObject* text_;
    size_t i_ = 0;
    const char* tok_ = nullptr;
};

// The redacted text with every "http://" or "https://" followed by a run of
// non-whitespace replaced by "<url>" (case-sensitive, as the _URL pattern).
template <class Source>
class Unlinked {
public:
    explicit Unlinked(Source& src) : src_(src) {}

    long next() {
        if (tok_) {
            const long c = static_cast<unsigned char>(*tok_++);
            if (!*tok_) tok_ = nullptr;
            return c;
        }
        if (skipping_) {
            // The rest of the URL: its run of non-whitespace.
            for (long c = peek(0); c != kEnd && !is_space(static_cast<char32_t>(c)); c = peek(0)) drop(1);
            skipping_ = false;
        }
        if (count_ == 0) {
            // Nothing looked ahead: only an 'h' needs a closer look.
            const long c = src_.next();
            if (c != 'h') return c;
            buf_[head_] = c;
            count_ = 1;
        }
        const long c = peek(0);
        if (c == 'h' && peek(1) == 't' && peek(2) == 't' && peek(3) == 'p') {
            const size_t k = peek(4) == 's' ? 5 : 4;
            if (peek(k) == ':' && peek(k + 1) == '/' && peek(k + 2) == '/') {
                const long first = peek(k + 3);
                if (first != kEnd && !is_space(static_cast<char32_t>(first))) {
                    drop(k + 4);
                    skipping_ = true;
                    tok_ = kUrlToken + 1;
                    return '<';
                }
            }
        }
        if (c != kEnd) drop(1);
        return c;
    }

    // Pass over whitespace at the current position, in bulk when nothing is
    // pending.
    void skip_spaces() {
        if (tok_ || skipping_) return;
        if (count_ == 0) {
            src_.skip_spaces();
            return;
        }
        while (count_ > 0 && buf_[head_] != kEnd && is_space(static_cast<char32_t>(buf_[head_]))) drop(1);
        if (count_ == 0) src_.skip_spaces();
    }

private:
    // A small window over the source: the longest look-ahead is "https://"
    // and one more character.
    static constexpr size_t kWindow = 16;

    long peek(size_t k) {
        while (count_ <= k) {
            buf_[(head_ + count_) % kWindow] = src_.next();
            ++count_;
        }
        return buf_[(head_ + k) % kWindow];
    }
    void drop(size_t k) {
        head_ = (head_ + k) % kWindow;
        count_ -= k;
    }

    Source& src_;
    std::array<long, kWindow> buf_{};
    size_t head_ = 0, count_ = 0;
    bool skipping_ = false;
    const char* tok_ = nullptr;
};

template <class CharT>
u32 clean_view(std::basic_string_view<CharT> s, PyObject* text) {
    Redacted<CharT> redacted(s, text);
    Unlinked<Redacted<CharT>> unlinked(redacted);
    u32 out;
    out.reserve(kDetailMax + 2);
    bool gap = false;
    // One code point past the cap is enough to know the text is too long.
    while (out.size() <= kDetailMax) {
        const long c = unlinked.next();
        if (c == kEnd) break;
        const char32_t ch = static_cast<char32_t>(c);
        if (is_space(ch)) {
            gap = !out.empty();
            unlinked.skip_spaces();
            continue;
        }
        if (gap) {
            out.push_back(U' ');
            gap = false;
            if (out.size() > kDetailMax) break;
        }
        out.push_back(ch);
    }
    if (out.size() > kDetailMax) {
        out.resize(kDetailMax);
        out += u32_from_utf8(kEllipsis);
    }
    return out;
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
    g_end = PyUnicode_InternFromString("end");
    if (!g_end) raise_current();
}

nb::str clean(nb::handle text) {
    if (!PyUnicode_Check(text.ptr())) return nb::str("");
    // Hold the text: the engine's matcher is called with it while we read it.
    nb::object keep = borrow(text);
    StrView view(text);
    u32 out = view.visit([&](auto s) { return clean_view(s, text.ptr()); });
    return from_u32(out);
}

}  // namespace kelvo::explain
