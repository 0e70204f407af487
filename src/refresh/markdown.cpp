// Blocks <-> Markdown for agent docs: a small dialect (three heading levels,
// bulleted, numbered and to-do items, quotes, dividers, fenced code, plain
// paragraphs) that reads back to the same Markdown on every connection.
//
// Both directions work on the interpreter's own string storage (1, 2 or 4
// bytes per code point) without converting the text, and write each result
// string once, in its canonical (narrowest) kind, so lone surrogates and
// astral code points pass through untouched and cost stays linear.
#include "refresh/markdown.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "common/text.hpp"
#include "common/value.hpp"
#include "refresh/bindings.hpp"

namespace kelvo::refresh {

namespace {

// Interned keys and block type names, made once at load and kept for the
// life of the process.
struct Names {
    PyObject* order;
    PyObject* text;
    PyObject* block_type;
    PyObject* empty;
    PyObject* heading_1;
    PyObject* heading_2;
    PyObject* heading_3;
    PyObject* bulleted;
    PyObject* numbered;
    PyObject* todo;
    PyObject* todo_done;
    PyObject* quote;
    PyObject* divider;
    PyObject* code;
    PyObject* paragraph;
};
Names N{};

void init_names() {
    if (N.order) return;
    N.order = interned("order");
    N.text = interned("text");
    N.block_type = interned("block_type");
    N.empty = PyUnicode_New(0, 0);
    if (!N.empty) raise_current();
    N.heading_1 = interned("heading_1");
    N.heading_2 = interned("heading_2");
    N.heading_3 = interned("heading_3");
    N.bulleted = interned("bulleted");
    N.numbered = interned("numbered");
    N.todo = interned("todo");
    N.todo_done = interned("todo_done");
    N.quote = interned("quote");
    N.divider = interned("divider");
    N.code = interned("code");
    N.paragraph = interned("paragraph");
}

// ---------------------------------------------------------------------------
// Character classes with an ASCII fast path; outside ASCII they defer to the
// interpreter's own tables (str.isspace, str.splitlines, str.isdecimal).

template <class C>
inline bool space_at(C c) {
    return is_space(static_cast<char32_t>(c));  // already table-driven below 128
}

// The line breaks of str.splitlines(), a fixed set: \n \v \f \r \x1c \x1d
// \x1e \x85 \u2028 \u2029 (the shared layer's tests pin it to the
// interpreter's own). A table below U+0100 keeps the hot loop branch-light.
struct BreakTable {
    bool below256[256] = {};
    constexpr BreakTable() {
        for (unsigned c : {0x0Au, 0x0Bu, 0x0Cu, 0x0Du, 0x1Cu, 0x1Du, 0x1Eu, 0x85u}) below256[c] = true;
    }
};
constexpr BreakTable kBreaks{};

template <class C>
inline bool linebreak_at(C c) {
    const uint32_t u = static_cast<uint32_t>(c);
    if (u < 256) return kBreaks.below256[u];
    return u == 0x2028 || u == 0x2029;
}

template <class C>
inline bool decimal_at(C c) {
    const uint32_t u = static_cast<uint32_t>(c);
    if (u < 128) return u - '0' < 10u;
    return is_decimal(static_cast<char32_t>(u));
}

template <class C>
inline bool ascii_prefix(const C* p, size_t n, std::string_view prefix) {
    if (n < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (static_cast<uint32_t>(p[i]) != static_cast<unsigned char>(prefix[i])) return false;
    return true;
}

// Index of the first line break in s[i, n), or n.
template <class C>
inline size_t next_break(const C* s, size_t i, size_t n) {
    while (i < n && !linebreak_at(s[i])) ++i;
    return i;
}

// One- and two-byte text, sixteen bytes at a time: a block holds a break
// only if some unit is below 0x1F, equals 0x85 or (two-byte) is U+2028 or
// U+2029, which ordinary prose never has; such a block is then looked at
// unit by unit.
template <class C>
inline bool may_hold_break(const C* s) {
    typedef C V __attribute__((vector_size(16)));
    V v;
    std::memcpy(&v, s, sizeof v);
    auto hit = (v < 0x1F) | (v == 0x85);
    if constexpr (sizeof(C) == 2) hit |= (v | 1) == 0x2029;
    uint64_t words[2];
    std::memcpy(words, &hit, sizeof words);
    return (words[0] | words[1]) != 0;
}

// Blocks from i on, the last one ending at n (overlapping the one before),
// so a line's tail needs no unit-by-unit look when it has no break.
template <class C>
inline size_t next_break_blocks(const C* s, size_t i, size_t n) {
    constexpr size_t w = 16 / sizeof(C);
    if (n - i >= w) {
        while (i + w <= n && !may_hold_break(s + i)) i += w;
        if (i + w > n && !may_hold_break(s + n - w)) return n;
    }
    while (i < n && !linebreak_at(s[i])) ++i;
    return i;
}

template <>
inline size_t next_break<Py_UCS1>(const Py_UCS1* s, size_t i, size_t n) {
    return next_break_blocks(s, i, n);
}

template <>
inline size_t next_break<Py_UCS2>(const Py_UCS2* s, size_t i, size_t n) {
    return next_break_blocks(s, i, n);
}

// Calls f(begin, end) for each line of s[0, n) as str.splitlines() splits it.
template <class C, class F>
inline void for_each_line(const C* s, size_t n, F&& f) {
    size_t i = 0;
    while (i < n) {
        const size_t j0 = next_break(s, i, n);
        size_t j = j0;
        if (j < n) {
            if (s[j] == '\r' && j + 1 < n && s[j + 1] == '\n') ++j;
            ++j;
        }
        f(i, j0);
        i = j;
    }
}

// Calls f with a typed pointer to the str's code units and its length.
template <class F>
inline decltype(auto) visit_str(PyObject* s, F&& f) {
    const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND: return f(PyUnicode_1BYTE_DATA(s), n);
        case PyUnicode_2BYTE_KIND: return f(PyUnicode_2BYTE_DATA(s), n);
        default: return f(PyUnicode_4BYTE_DATA(s), n);
    }
}

// ---------------------------------------------------------------------------
// A result string assembled from ASCII literals (slices of the kLiterals
// rows below) and slices of existing strs, allocated once at its exact
// length and narrowest kind. Slices borrow their source: the caller keeps
// every source alive until finish().

struct Piece {
    const void* data;  // first code unit
    size_t n;          // code units
    int kind;          // bytes per code unit (PyUnicode_1BYTE_KIND ...), or kLiteral
};
constexpr int kLiteral = 0;  // ASCII, from the padded table of literals

// The list of pieces is kept per thread between calls, so a long page does
// not map fresh memory for it on every call; a nested call on the same
// thread (a hostile __str__ re-entering) uses its own list.
struct PieceScratch {
    std::vector<Piece> pieces;
    bool busy = false;
};
thread_local PieceScratch t_scratch;

class TextBuilder {
public:
    TextBuilder() {
        if (!t_scratch.busy) {
            t_scratch.busy = true;
            pieces_ = &t_scratch.pieces;
            pieces_->clear();
        } else {
            pieces_ = &own_;
        }
    }
    ~TextBuilder() {
        if (pieces_ != &t_scratch.pieces) return;
        pieces_->clear();
        if (pieces_->capacity() > (size_t{1} << 20)) std::vector<Piece>().swap(*pieces_);
        t_scratch.busy = false;
    }
    TextBuilder(const TextBuilder&) = delete;
    TextBuilder& operator=(const TextBuilder&) = delete;

    void reserve(size_t pieces) { pieces_->reserve(pieces); }
    // `ascii` is a slice of a kLiterals row.
    void literal(std::string_view ascii) {
        if (ascii.empty()) return;
        pieces_->push_back({ascii.data(), ascii.size(), kLiteral});
        len_ += static_cast<Py_ssize_t>(ascii.size());
    }
    // s[b, e), its code points looked at for the result's kind.
    void slice(PyObject* s, Py_ssize_t b, Py_ssize_t e) {
        span(s, b, e);
        note_max(s, b, e);
    }
    // s[b, e), with no look at its code points: the caller also calls
    // include_class_of(s), or note_max() on every span of s.
    void span(PyObject* s, Py_ssize_t b, Py_ssize_t e) {
        if (b >= e) return;
        const int kind = PyUnicode_KIND(s);
        pieces_->push_back({static_cast<const char*>(PyUnicode_DATA(s)) + b * kind, static_cast<size_t>(e - b), kind});
        len_ += e - b;
    }
    // The result holds every code point of `s` (or at least one of its
    // widest class): its class, read from the header, bounds the result's.
    void include_class_of(PyObject* s) {
        if (PyUnicode_GET_LENGTH(s)) max_ = std::max(max_, PyUnicode_MAX_CHAR_VALUE(s));
    }
    // Widen the result's class (127, 255, 65535, 0x10FFFF) to that of the
    // largest code point of s[b, e); PyUnicode_New needs the exact class so
    // the result is in canonical form (str equality compares kinds first).
    void note_max(PyObject* s, Py_ssize_t b, Py_ssize_t e) {
        if (PyUnicode_IS_ASCII(s)) return;
        const Py_UCS4 bound = PyUnicode_MAX_CHAR_VALUE(s);
        if (max_ >= bound) return;
        visit_str(s, [&](const auto* p, size_t) {
            for (Py_ssize_t i = b; i < e; ++i) {
                const uint32_t c = static_cast<uint32_t>(p[i]);
                if (c <= max_) continue;
                max_ = c <= 127 ? 127 : c <= 255 ? 255 : c <= 65535 ? 65535 : 0x10FFFF;
                if (max_ >= bound) return;
            }
        });
    }
    nb::str finish() const {
        if (len_ == 0) return nb::borrow<nb::str>(N.empty);
        PyObject* out = PyUnicode_New(len_, max_);
        if (!out) raise_current();
        switch (PyUnicode_KIND(out)) {
            case PyUnicode_1BYTE_KIND: fill(PyUnicode_1BYTE_DATA(out)); break;
            case PyUnicode_2BYTE_KIND: fill(PyUnicode_2BYTE_DATA(out)); break;
            default: fill(PyUnicode_4BYTE_DATA(out)); break;
        }
        return nb::steal<nb::str>(out);
    }

private:
    // Copy every piece into the result's storage; a piece of another width
    // is widened eight units at a time, or (when its code points allow)
    // narrowed unit by unit.
    template <class D>
    void fill(D* out) const {
        D* const end = out + len_;
        for (const Piece& p : *pieces_) {
            if (p.kind == kLiteral) {
                // Eight units at once (the row is readable that far; what
                // lands past the piece is overwritten by the next one).
                if constexpr (sizeof(D) == 1)
                    std::memcpy(out, p.data, p.n);
                else if (end - out >= 8)
                    convert(out, static_cast<const Py_UCS1*>(p.data), 8);
                else
                    convert(out, static_cast<const Py_UCS1*>(p.data), p.n);
            } else if (p.kind == static_cast<int>(sizeof(D)))
                std::memcpy(out, p.data, p.n * sizeof(D));
            else if (p.kind == PyUnicode_1BYTE_KIND)
                convert(out, static_cast<const Py_UCS1*>(p.data), p.n);
            else if (p.kind == PyUnicode_2BYTE_KIND)
                convert(out, static_cast<const Py_UCS2*>(p.data), p.n);
            else
                convert(out, static_cast<const Py_UCS4*>(p.data), p.n);
            out += p.n;
        }
    }
    template <class D, class S>
    static void convert(D* out, const S* src, size_t n) {
        size_t i = 0;
        if constexpr (sizeof(S) < sizeof(D)) {
            // Widening, the common case (ASCII pieces in a wider result):
            // eight units at a time.
            typedef S In __attribute__((vector_size(8 * sizeof(S))));
            typedef D Out __attribute__((vector_size(8 * sizeof(D))));
            auto eight = [&](size_t at) {
                In v;
                std::memcpy(&v, src + at, sizeof v);
                const Out w = __builtin_convertvector(v, Out);
                std::memcpy(out + at, &w, sizeof w);
            };
            if (n >= 8) {
                for (; i + 8 <= n; i += 8) eight(i);
                if (i < n) eight(n - 8);  // the tail, overlapping units already written
                return;
            }
        }
        for (; i < n; ++i) out[i] = static_cast<D>(src[i]);
    }

    std::vector<Piece>* pieces_;
    std::vector<Piece> own_;
    Py_ssize_t len_ = 0;
    Py_UCS4 max_ = 127;
};

// ---------------------------------------------------------------------------
// Order keys.
//
// An `order` is read as Python's float() reads it, so a string may carry
// surrounding whitespace, exponent notation ("1e3"), "inf"/"infinity"/"nan"
// in any case and underscores between digits ("1_000"); anything float()
// refuses fails the call with float()'s own error (ValueError or TypeError),
// before any text is read. Two refinements keep the sort sound:
//  - an int is compared by its exact value, so ints beyond a double's range
//    (where float() would raise OverflowError) or precision still sort;
//  - not-a-number keys go after every number, in input order among
//    themselves, so the order stays total and stable whatever NaNs appear.

struct OrderKey {
    double d;        // the value when `exact` is null
    PyObject* exact; // an int too large for a double to hold exactly, or null
    bool nan;
    size_t index;
};

constexpr double kExactLimit = 9007199254740992.0;  // 2**53

// The common string order, an optional sign and up to 15 ASCII digits, read
// without a float object (the value float() would give, exactly).
bool plain_integer_text(PyObject* s, double& out) {
    if (!PyUnicode_CheckExact(s) || !PyUnicode_IS_ASCII(s)) return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const unsigned char* p = PyUnicode_1BYTE_DATA(s);
    Py_ssize_t i = (n > 0 && (p[0] == '-' || p[0] == '+')) ? 1 : 0;
    if (n - i < 1 || n - i > 15) return false;
    long long v = 0;
    for (; i < n; ++i) {
        if (p[i] < '0' || p[i] > '9') return false;
        v = v * 10 + (p[i] - '0');
    }
    out = p[0] == '-' ? -static_cast<double>(v) : static_cast<double>(v);
    return true;
}

// Reads `block`'s key into `key`; an int that the key borrows is put in `keep`.
void read_order(PyObject* block, OrderKey& key, std::vector<nb::object>& keep) {
    key.exact = nullptr;
    key.nan = false;
    key.d = 0.0;
    PyObject* raw = nullptr;
    if (PyDict_GetItemRef(block, N.order, &raw) < 0) raise_current();
    if (!raw) return;
    if (PyLong_CheckExact(raw) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(raw))) {
        key.d = static_cast<double>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(raw)));
        Py_DECREF(raw);  // a small int: exact in a double
        return;
    }
    nb::object v = nb::steal(raw);
    if (PyBool_Check(raw)) {
        key.d = raw == Py_True ? 1.0 : 0.0;
        return;
    }
    if (PyFloat_CheckExact(raw)) {
        key.d = PyFloat_AS_DOUBLE(raw);
    } else if (PyLong_CheckExact(raw)) {
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(raw, &overflow);
        if (n == -1 && PyErr_Occurred()) raise_current();
        if (!overflow && n >= -9007199254740992LL && n <= 9007199254740992LL) {
            key.d = static_cast<double>(n);
        } else {
            key.exact = raw;
            keep.push_back(std::move(v));
        }
        return;
    } else if (PyUnicode_CheckExact(raw) && PyUnicode_GET_LENGTH(raw) == 0) {
        return;
    } else if (plain_integer_text(raw, key.d)) {
        return;
    } else {
        if (!truthy(raw)) return;  // [], {} and other falsy values count as 0
        nb::object f = steal(PyNumber_Float(raw));
        key.d = PyFloat_AS_DOUBLE(f.ptr());
    }
    key.nan = std::isnan(key.d);
}

// Exact comparison of two numeric keys, at least one an exact int.
bool exact_less(const OrderKey& a, const OrderKey& b) {
    nb::object fa, fb;
    PyObject* x = a.exact;
    PyObject* y = b.exact;
    if (!x) {
        fa = steal(PyFloat_FromDouble(a.d));
        x = fa.ptr();
    }
    if (!y) {
        fb = steal(PyFloat_FromDouble(b.d));
        y = fb.ptr();
    }
    // int/int and int/float comparisons are exact and never raise.
    const int r = PyObject_RichCompareBool(x, y, Py_LT);
    if (r < 0) raise_current();
    return r == 1;
}

bool key_less(const OrderKey& a, const OrderKey& b) {
    if (a.nan || b.nan) return !a.nan && b.nan;
    if (!a.exact && !b.exact) return a.d < b.d;
    return exact_less(a, b);
}

// ---------------------------------------------------------------------------
// Block type names known to the dialect.

enum class Kind { Other, H1, H2, H3, Bulleted, Numbered, Todo, TodoDone, Quote, Divider, Code };

// Every literal the builders write, by kind, each at the start of a 16-byte
// row: a literal piece (at most eight characters) may be read eight bytes at
// a time without leaving the table.
alignas(16) constexpr char kLiterals[][16] = {
    "\n\n", "\n\n# ", "\n\n## ", "\n\n### ", "\n\n- ", "\n\n1. ", "\n\n- [ ] ", "\n\n- [x] ", "\n\n> ",
    "\n\n---", "\n\n```\n", "\n```",
};
constexpr int kCodeClose = 11;  // the row after the last kind

Kind kind_of(PyObject* bt) {
    // Type names usually are the interned names themselves.
    if (bt == N.paragraph) return Kind::Other;
    if (bt == N.bulleted) return Kind::Bulleted;
    if (!PyUnicode_IS_ASCII(bt)) return Kind::Other;
    Py_ssize_t n = PyUnicode_GET_LENGTH(bt);
    std::string_view s(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(bt)), static_cast<size_t>(n));
    switch (n) {
        case 4:
            if (s == "code") return Kind::Code;
            if (s == "todo") return Kind::Todo;
            break;
        case 5:
            if (s == "quote") return Kind::Quote;
            break;
        case 7:
            if (s == "divider") return Kind::Divider;
            break;
        case 8:
            if (s == "bulleted") return Kind::Bulleted;
            if (s == "numbered") return Kind::Numbered;
            break;
        case 9:
            if (s == "heading_1") return Kind::H1;
            if (s == "heading_2") return Kind::H2;
            if (s == "heading_3") return Kind::H3;
            if (s == "todo_done") return Kind::TodoDone;
            break;
    }
    return Kind::Other;
}

bool is_list(Kind k) { return k == Kind::Bulleted || k == Kind::Numbered || k == Kind::Todo || k == Kind::TodoDone; }

// What a kind writes before its text, behind a blank line ("\n\n# ",
// "\n\n---"): dropping the first one or two characters gives it behind a
// line feed or alone, so every literal a chunk needs is a slice of one row.
std::string_view lead_of(Kind k) {
    const int row = static_cast<int>(k);
    return {kLiterals[row], std::char_traits<char>::length(kLiterals[row])};
}

// The Markdown prefix of a prefixed kind, with its trailing space.
std::string_view prefix_of(Kind k) { return lead_of(k).substr(2); }

template <class C>
bool sentinel_prefix(const C* s, size_t n) {
    size_t i = 0;
    while (i < n && space_at(s[i])) ++i;
    if (i >= n || s[i] != '{') return false;
    ++i;
    while (i < n && space_at(s[i])) ++i;
    if (!ascii_prefix(s + i, n - i, "\"__kelvo_")) return false;
    i += 9;
    // [a-z_]+ then __" : the longest run of [a-z_] must be followed by a
    // quote, end in two underscores and hold at least one more character.
    const size_t run = i;
    while (i < n && ((s[i] >= 'a' && s[i] <= 'z') || s[i] == '_')) ++i;
    return i < n && s[i] == '"' && i - run >= 3 && s[i - 1] == '_' && s[i - 2] == '_';
}

template <class C>
bool has_non_space_chars(const C* s, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (!space_at(s[i])) return true;
    return false;
}

// Appends a prefixed block's chunk to `out` after `sep_len` line feeds (0,
// 1 or 2): the prefix before each line of `text`, lines joined by a line
// feed, or the bare prefix ("#", "- [ ]", ">" ...) for a text of no lines.
template <class Out>
void prefixed_chunk(Out& out, size_t sep_len, PyObject* text, Kind k) {
    const std::string_view lead = lead_of(k);
    const std::string_view first = lead.substr(2 - sep_len), next = lead.substr(1);
    bool any = false, wide_break = false;
    visit_str(text, [&](const auto* s, size_t n) {
        for_each_line(s, n, [&](size_t b, size_t e) {
            out.literal(any ? next : first);
            any = true;
            out.span(text, static_cast<Py_ssize_t>(b), static_cast<Py_ssize_t>(e));
            wide_break = wide_break || (e < n && static_cast<uint32_t>(s[e]) > 127);
        });
    });
    if (!any) {
        out.literal(first.substr(0, first.size() - 1));
    } else if (!wide_break) {
        out.include_class_of(text);  // only ASCII breaks dropped: every other code point is kept
    } else {
        visit_str(text, [&](const auto* s, size_t n) {
            for_each_line(s, n, [&](size_t b, size_t e) {
                out.note_max(text, static_cast<Py_ssize_t>(b), static_cast<Py_ssize_t>(e));
            });
        });
    }
}

}  // namespace

// ---------------------------------------------------------------------------

void raise_not_text(nb::handle value, const char* method) {
    const int has = PyObject_HasAttrStringWithError(value.ptr(), method);
    if (has < 0) raise_current();
    if (!has) raise_no_attribute(value, method);
    PyErr_Format(PyExc_TypeError, "text must be a str or None, not '%.200s'", Py_TYPE(value.ptr())->tp_name);
    raise_current();
}

bool any_sentinel_prefix(nb::handle text_str) {
    return visit_str(text_str.ptr(), [](const auto* s, size_t n) { return sentinel_prefix(s, n); });
}

namespace {

// The map elements of `blocks`, owned: taken before any Python code runs, so
// a key or text that mutates the sequence cannot disturb the walk.
std::vector<nb::object> map_elements(nb::handle blocks) {
    std::vector<nb::object> maps;
    PyObject* b = blocks.ptr();
    if (b == Py_None) return maps;
    if (PyList_CheckExact(b) || PyTuple_CheckExact(b)) {
        nb::object fast = steal(PySequence_Fast(b, ""));
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.ptr());
        maps.reserve(static_cast<size_t>(n));
        PyObject** items = PySequence_Fast_ITEMS(fast.ptr());
        for (Py_ssize_t i = 0; i < n; ++i)
            if (PyDict_Check(items[i])) maps.push_back(nb::borrow(items[i]));
    } else {
        if (!truthy(b)) return maps;
        nb::object it = steal(PyObject_GetIter(b));
        while (PyObject* item = PyIter_Next(it.ptr())) {
            nb::object o = nb::steal(item);
            if (PyDict_Check(item)) maps.push_back(std::move(o));
        }
        if (PyErr_Occurred()) raise_current();
    }
    return maps;
}

// A double as an unsigned integer of the same order (-0.0 as 0.0; no NaN).
inline uint64_t ordered_bits(double d) {
    const uint64_t u = std::bit_cast<uint64_t>(d + 0.0);  // -0.0 + 0.0 is 0.0
    return (u >> 63) ? ~u : u | (uint64_t{1} << 63);
}

// The usual page: whole-number keys in a range not much wider than the page.
// A counting sort (one count per value, then each index placed behind the
// earlier ones of its value) gives the stable order in two passes; false
// when the keys are not like that.
bool dense_order(const std::vector<OrderKey>& keys, std::vector<size_t>& order) {
    const size_t n = keys.size();
    const double span = 2.0 * static_cast<double>(n) + 64;
    double lo = keys[0].d, hi = keys[0].d;
    for (const OrderKey& k : keys) {
        if (!(std::fabs(k.d) < kExactLimit) || k.d != static_cast<double>(static_cast<int64_t>(k.d)))
            return false;  // a fraction, an infinity or beyond a double's whole numbers
        lo = std::min(lo, k.d);
        hi = std::max(hi, k.d);
    }
    if (hi - lo >= span) return false;
    std::vector<size_t> start(static_cast<size_t>(hi - lo) + 2, 0);
    for (const OrderKey& k : keys) ++start[static_cast<size_t>(k.d - lo) + 1];
    for (size_t v = 1; v < start.size(); ++v) start[v] += start[v - 1];
    for (size_t i = 0; i < n; ++i) order[start[static_cast<size_t>(keys[i].d - lo)]++] = i;
    return true;
}

// `order` = the indices of `keys` (no NaN, no exact int) in stable sorted
// order: a least-significant-byte-first radix sort, which keeps equal keys
// in input order, costs no comparisons and skips the bytes every key
// shares (most of them for the small whole numbers pages use).
void radix_order(const std::vector<OrderKey>& keys, std::vector<size_t>& order) {
    struct Item {
        uint64_t bits;
        size_t index;
    };
    const size_t n = keys.size();
    if (dense_order(keys, order)) return;
    std::vector<Item> a(n), b(n);
    uint64_t all = ~uint64_t{0}, any = 0;  // bits set in every key, in some key
    for (size_t i = 0; i < n; ++i) {
        a[i] = {ordered_bits(keys[i].d), i};
        all &= a[i].bits;
        any |= a[i].bits;
    }
    std::array<size_t, 256> c;
    for (int shift = 0; shift < 64; shift += 8) {
        if ((((all ^ any) >> shift) & 0xFF) == 0) continue;  // every key has the same byte here
        c.fill(0);
        for (const Item& it : a) ++c[(it.bits >> shift) & 0xFF];
        size_t at = 0;
        for (size_t& k : c) at += std::exchange(k, at);
        for (const Item& it : a) b[c[(it.bits >> shift) & 0xFF]++] = it;
        a.swap(b);
    }
    for (size_t i = 0; i < n; ++i) order[i] = a[i].index;
}

// The indices of `maps` in sorted order (stable); `visit(i, map)` sees each
// map once, in input order, while its key is read.
template <class Visit>
std::vector<size_t> sorted_order(const std::vector<nb::object>& maps, std::vector<nb::object>& keep, Visit&& visit) {
    const size_t n = maps.size();
    std::vector<OrderKey> keys(n);
    bool in_order = true, plain = true;  // plain: no NaN and no int beyond a double
    for (size_t i = 0; i < n; ++i) {
        read_order(maps[i].ptr(), keys[i], keep);
        keys[i].index = i;
        visit(i, maps[i].ptr());
        plain = plain && !keys[i].nan && !keys[i].exact;
        if (i && in_order && key_less(keys[i], keys[i - 1])) in_order = false;
    }
    std::vector<size_t> order(n);
    if (in_order) {
        for (size_t i = 0; i < n; ++i) order[i] = i;
    } else if (plain) {
        radix_order(keys, order);
    } else {
        std::stable_sort(keys.begin(), keys.end(), key_less);
        for (size_t i = 0; i < n; ++i) order[i] = keys[i].index;
    }
    return order;
}

// A member value of a map: a new reference, or null when absent.
PyObject* member_ref(PyObject* block, PyObject* key) {
    PyObject* raw = nullptr;
    if (PyDict_GetItemRef(block, key, &raw) < 0) raise_current();
    return raw;
}

// A raw member value's string form, or `fallback` when absent (null) or
// falsy; borrowed from `raw` or `fallback`, or a string form made now and
// held by `keep`.
inline PyObject* string_form_or(PyObject* raw, PyObject* fallback, std::vector<nb::object>& keep) {
    if (!raw) return fallback;
    if (PyUnicode_Check(raw)) return PyUnicode_GET_LENGTH(raw) ? raw : fallback;
    if (!truthy(raw)) return fallback;
    keep.push_back(str_form(raw));
    return keep.back().ptr();
}

// The raw text and block type of each block (new references, null when
// absent), read in page order beside the keys.
struct BlockMembers {
    struct Raw {
        PyObject* text = nullptr;
        PyObject* type = nullptr;
    };
    explicit BlockMembers(size_t n) : raw(n) {}
    ~BlockMembers() {
        for (Raw& r : raw) {
            Py_XDECREF(r.text);
            Py_XDECREF(r.type);
        }
    }
    BlockMembers(const BlockMembers&) = delete;
    BlockMembers& operator=(const BlockMembers&) = delete;

    void read(size_t i, PyObject* map) {
        raw[i].text = member_ref(map, N.text);
        raw[i].type = member_ref(map, N.block_type);
    }
    std::vector<Raw> raw;
};

// Steps 2-4 of block to Markdown, one block at a time.
class MarkdownWriter {
public:
    // The caller keeps every raw text alive until finish().
    explicit MarkdownWriter(size_t blocks = 0) { out_.reserve(blocks * 3); }

    // `text_raw` and `bt_raw` are the raw member values (null when absent).
    void block(PyObject* text_raw, PyObject* bt_raw) {
        PyObject* t = string_form_or(text_raw, N.empty, keep_);
        if (any_sentinel_prefix(nb::handle(t))) return marker();

        const Kind k = kind_of(string_form_or(bt_raw, N.paragraph, keep_));
        switch (k) {
            case Kind::Divider:
                out_.literal(lead_of(k).substr(2 - separator(false)));
                last_listy_ = false;
                break;
            case Kind::Code:
                out_.literal(lead_of(k).substr(2 - separator(false)));
                whole(t);
                out_.literal(kLiterals[kCodeClose]);
                last_listy_ = false;
                break;
            case Kind::Other: {
                const bool blank = !visit_str(t, [](const auto* s, size_t n) { return has_non_space_chars(s, n); });
                if (blank) break;  // adds nothing; a list around it stays one list
                new_chunk();
                whole(t);
                last_listy_ = false;
                break;
            }
            default: {
                const bool listy = is_list(k);
                prefixed_chunk(out_, separator(listy && last_listy_ && have_chunk_), t, k);
                last_listy_ = listy;
                break;
            }
        }
    }
    // A marker block: nothing written, and a list does not run on across it.
    void marker() { last_listy_ = false; }
    nb::str finish() { return out_.finish(); }

private:
    // Chunks are written as they come: a new chunk after a blank line, a list
    // item that continues a list after a single line feed (only the last
    // chunk is ever extended, and it is always at the end of the text).
    // Returns the number of line feeds to write first.
    size_t separator(bool join_list) {
        const size_t n = join_list ? 1 : have_chunk_ ? 2 : 0;
        have_chunk_ = true;
        return n;
    }
    void new_chunk() { out_.literal(lead_of(Kind::Other).substr(2 - separator(false))); }
    void whole(PyObject* t) {
        out_.span(t, 0, PyUnicode_GET_LENGTH(t));
        out_.include_class_of(t);
    }

    TextBuilder out_;
    std::vector<nb::object> keep_;  // string forms made here, alive until the result is built
    bool have_chunk_ = false;
    bool last_listy_ = false;
};

}  // namespace

std::vector<nb::object> sorted_map_blocks(nb::handle blocks) {
    init_names();
    std::vector<nb::object> maps = map_elements(blocks);
    std::vector<nb::object> keep;
    const std::vector<size_t> order = sorted_order(maps, keep, [](size_t, PyObject*) {});
    std::vector<nb::object> sorted;
    sorted.reserve(maps.size());
    for (size_t i : order) sorted.push_back(maps[i]);
    return sorted;
}

nb::str markdown_from_sorted(const std::vector<nb::object>& sorted, size_t marker) {
    init_names();
    BlockMembers members(sorted.size());  // alive until the result is built
    MarkdownWriter w(sorted.size());
    for (size_t i = 0; i < sorted.size(); ++i) {
        if (i == marker) {
            w.marker();
            continue;
        }
        members.read(i, sorted[i].ptr());
        w.block(members.raw[i].text, members.raw[i].type);
    }
    return w.finish();
}

nb::str block_text(nb::handle block) {
    init_names();
    if (!PyDict_Check(block.ptr())) return nb::borrow<nb::str>(N.empty);
    nb::object raw = nb::steal(member_ref(block.ptr(), N.text));
    std::vector<nb::object> keep;
    return nb::borrow<nb::str>(string_form_or(raw.ptr(), N.empty, keep));
}

nb::str blocks_to_markdown(nb::handle blocks) {
    init_names();
    std::vector<nb::object> maps = map_elements(blocks);
    // The text and type of each block are fetched in page order, beside its
    // key (the maps are read front to back, which the memory system likes);
    // their string forms are still taken in sorted order, after every key
    // has been read, so an unreadable order fails before any text is read.
    std::vector<nb::object> keep;
    BlockMembers members(maps.size());
    const std::vector<size_t> order = sorted_order(maps, keep, [&](size_t i, PyObject* map) { members.read(i, map); });
    MarkdownWriter w(maps.size());
    // Sorted order visits the texts out of their memory order: ask for each
    // text a few blocks ahead so its cache line is there when it is read.
    constexpr size_t kAhead = 6;
    for (size_t j = 0; j < order.size(); ++j) {
        if (j + kAhead < order.size()) {
            if (PyObject* ahead = members.raw[order[j + kAhead]].text) __builtin_prefetch(ahead);
        }
        const BlockMembers::Raw& r = members.raw[order[j]];
        w.block(r.text, r.type);
    }
    return w.finish();
}

// ---------------------------------------------------------------------------
// Markdown to blocks.

namespace {

struct Range {
    size_t b, e;
};

class BlockSink {
public:
    explicit BlockSink(PyObject* src) : src_(src), out_(steal(PyList_New(0))) {}

    void add(PyObject* type, PyObject* text) {
        nb::object d = steal(PyDict_New());
        if (PyDict_SetItem(d.ptr(), N.block_type, type) < 0 || PyDict_SetItem(d.ptr(), N.text, text) < 0 ||
            PyList_Append(out_.ptr(), d.ptr()) < 0)
            raise_current();
    }
    void add_slice(PyObject* type, size_t b, size_t e) {
        nb::object s = slice(b, e);
        add(type, s.ptr());
    }
    // The ranges joined by line feeds: one slice of the source when they sit
    // in it joined by single line feeds already, else built once.
    void add_joined(PyObject* type, const std::vector<Range>& lines) {
        if (lines.empty()) {
            add(type, N.empty);
            return;
        }
        bool contiguous = true;
        for (size_t i = 1; i < lines.size() && contiguous; ++i)
            contiguous = lines[i].b == lines[i - 1].e + 1 && PyUnicode_READ_CHAR(src_, lines[i - 1].e) == '\n';
        if (contiguous) {
            add_slice(type, lines.front().b, lines.back().e);
            return;
        }
        TextBuilder tb;
        for (size_t i = 0; i < lines.size(); ++i) {
            if (i) tb.literal(lead_of(Kind::Other).substr(1));
            tb.slice(src_, static_cast<Py_ssize_t>(lines[i].b), static_cast<Py_ssize_t>(lines[i].e));
        }
        nb::str s = tb.finish();
        add(type, s.ptr());
    }
    nb::list result() { return nb::steal<nb::list>(out_.release()); }

private:
    nb::object slice(size_t b, size_t e) {
        if (b >= e) return nb::borrow(N.empty);
        return steal(PyUnicode_Substring(src_, static_cast<Py_ssize_t>(b), static_cast<Py_ssize_t>(e)));
    }
    PyObject* src_;
    nb::object out_;
};

struct LineType {
    std::string_view prefix;
    PyObject** type;
};

template <class C>
void parse_markdown(const C* s, size_t n, BlockSink& sink) {
    static const LineType kLineTypes[] = {
        {"### ", &N.heading_3}, {"## ", &N.heading_2}, {"# ", &N.heading_1},
        {"- [x] ", &N.todo_done}, {"- [X] ", &N.todo_done}, {"- [ ] ", &N.todo},
        {"- ", &N.bulleted}, {"* ", &N.bulleted}, {"> ", &N.quote},
    };
    std::vector<Range> para, code;
    bool in_code = false;

    auto flush_para = [&] {
        if (para.empty()) return;
        sink.add_joined(N.paragraph, para);
        para.clear();
    };

    for_each_line(s, n, [&](size_t lb, size_t le) {
        size_t b = lb, e = le;
        while (b < e && space_at(s[b])) ++b;
        while (e > b && space_at(s[e - 1])) --e;
        const C* p = s + b;
        const size_t len = e - b;
        const bool fence = ascii_prefix(p, len, "```");
        if (in_code) {
            if (fence) {
                sink.add_joined(N.code, code);
                code.clear();
                in_code = false;
            } else {
                code.push_back({lb, le});
            }
            return;
        }
        if (fence) {
            flush_para();
            in_code = true;
            return;
        }
        if (len == 0) {
            flush_para();
            return;
        }
        if (len == 3 && ascii_prefix(p, len, "---")) {
            flush_para();
            sink.add(N.divider, N.empty);
            return;
        }
        const uint32_t first = static_cast<uint32_t>(p[0]);
        if (first == '#' || first == '-' || first == '*' || first == '>') {
            for (const LineType& lt : kLineTypes) {
                if (ascii_prefix(p, len, lt.prefix)) {
                    flush_para();
                    sink.add_slice(*lt.type, b + lt.prefix.size(), e);
                    return;
                }
            }
        } else if (decimal_at(p[0])) {
            // ^\d+[.)]\s+
            size_t i = 1;
            while (i < len && decimal_at(p[i])) ++i;
            if (i < len && (p[i] == '.' || p[i] == ')')) {
                size_t j = i + 1;
                while (j < len && space_at(p[j])) ++j;
                if (j > i + 1) {
                    flush_para();
                    sink.add_slice(N.numbered, b + j, e);
                    return;
                }
            }
        }
        para.push_back({b, e});
    });
    if (in_code) sink.add_joined(N.code, code);
    flush_para();
}

}  // namespace

nb::list markdown_to_blocks(nb::handle text) {
    init_names();
    PyObject* t = text.ptr();
    if (!PyUnicode_Check(t)) {
        if (t == Py_None || !truthy(t)) return nb::list();
        raise_not_text(text, "splitlines");
    }
    BlockSink sink(t);
    visit_str(t, [&](const auto* s, size_t n) { parse_markdown(s, n, sink); });
    return sink.result();
}

// ---------------------------------------------------------------------------

void bind_markdown(nb::module_& m) {
    init_names();
    nb::object re_compile = import_attr("re", "compile");

    nb::dict prefixes;
    for (Kind k : {Kind::H1, Kind::H2, Kind::H3, Kind::Bulleted, Kind::Numbered, Kind::Todo, Kind::TodoDone,
                   Kind::Quote}) {
        static const char* const names[] = {"", "heading_1", "heading_2", "heading_3", "bulleted",
                                            "numbered", "todo", "todo_done", "quote"};
        prefixes[names[static_cast<int>(k)]] = nb::str(prefix_of(k).data(), prefix_of(k).size());
    }
    m.attr("_MD_BLOCK_PREFIX") = prefixes;

    nb::list list_types;
    for (PyObject* t : {N.bulleted, N.numbered, N.todo, N.todo_done}) list_types.append(nb::handle(t));
    m.attr("_LIST_TYPES") = steal(PyFrozenSet_New(list_types.ptr()));

    nb::list line_types;
    const std::pair<const char*, PyObject*> rows[] = {
        {"### ", N.heading_3}, {"## ", N.heading_2}, {"# ", N.heading_1},
        {"- [x] ", N.todo_done}, {"- [X] ", N.todo_done}, {"- [ ] ", N.todo},
        {"- ", N.bulleted}, {"* ", N.bulleted}, {"> ", N.quote},
    };
    for (const auto& [prefix, type] : rows) line_types.append(nb::make_tuple(nb::str(prefix), nb::handle(type)));
    m.attr("_LINE_TYPES") = steal(PyList_AsTuple(line_types.ptr()));

    m.attr("_NUMBERED_RE") = re_compile(nb::str("^\\d+[.)]\\s+"));

    m.def("blocks_to_markdown", [](nb::handle blocks) { return blocks_to_markdown(blocks); }, nb::arg("blocks").none(),
          "The Markdown of a page's blocks: map elements sorted by `order`, marker blocks left out, "
          "chunks joined by a blank line.");
    m.def("markdown_to_blocks", [](nb::handle text) { return markdown_to_blocks(text); },
          nb::arg("text").none(), "A new list of {'block_type', 'text'} maps for a Markdown text, in document order.");
}

}  // namespace kelvo::refresh
