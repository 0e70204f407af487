// Text as the interpreter sees it: sequences of code points, lone surrogates
// included. Predicates are the interpreter's own (str.isspace, str.isdecimal,
// str.splitlines), so every module agrees with Python to the letter.
#pragma once

#include <algorithm>
#include <span>
#include <utility>

#include "common/py.hpp"

namespace kelvo {

// Unicode whitespace as str.isspace/str.strip: category Zs or bidirectional
// class WS, B or S (U+001C..U+001F and U+0085 included, U+200B excluded).
inline bool is_space(char32_t c) { return Py_UNICODE_ISSPACE(static_cast<Py_UCS4>(c)); }
// Line breaks of str.splitlines: \n \v \f \r, \x1c \x1d \x1e, \x85, \u2028
// \u2029 (the interpreter's whole list, checked against it over every code
// point by the tests). Written without branches, so a loop over it compiles
// to vector compares.
inline bool is_linebreak(char32_t c) {
    return (c - 0x0A < 4) | (c - 0x1C < 3) | (c == 0x85) | ((c | 1) == 0x2029);
}
// Decimal digits of str.isdecimal (category Nd).
inline bool is_decimal(char32_t c) { return Py_UNICODE_ISDECIMAL(static_cast<Py_UCS4>(c)); }

// A read-only view of a Python str in its native storage width. Valid while
// the str is alive; `str` must be an exact or subclassed str.
class StrView {
public:
    explicit StrView(nb::handle str)
        : kind_(PyUnicode_KIND(str.ptr())), data_(PyUnicode_DATA(str.ptr())),
          size_(static_cast<size_t>(PyUnicode_GET_LENGTH(str.ptr()))) {}
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    char32_t operator[](size_t i) const {
        return static_cast<char32_t>(PyUnicode_READ(kind_, data_, static_cast<Py_ssize_t>(i)));
    }
    int kind() const { return kind_; }
    const void* data() const { return data_; }

    // Call f with a span of the native code units (Py_UCS1, Py_UCS2 or
    // Py_UCS4): one template instance per width.
    template <class F>
    decltype(auto) visit(F&& f) const {
        switch (kind_) {
            case PyUnicode_1BYTE_KIND:
                return f(std::span<const Py_UCS1>(static_cast<const Py_UCS1*>(data_), size_));
            case PyUnicode_2BYTE_KIND:
                return f(std::span<const Py_UCS2>(static_cast<const Py_UCS2*>(data_), size_));
            default:
                return f(std::span<const Py_UCS4>(static_cast<const Py_UCS4*>(data_), size_));
        }
    }

private:
    int kind_;
    const void* data_;
    size_t size_;
};

// Trim: strip leading and trailing Unicode whitespace.
template <class S>
inline std::pair<size_t, size_t> trim_bounds(const S& s) {
    size_t b = 0, e = s.size();
    while (b < e && is_space(s[b])) ++b;
    while (e > b && is_space(s[e - 1])) --e;
    return {b, e};
}
// Trim a Python str; returns the same object when nothing is stripped.
nb::str trim(nb::handle str);

// The index of the first line break in s[i:], or s.size(). Runs of 16 code
// units are tested whole, by a loop without exits in the units' own width
// that the compiler turns into vector compares; the run holding a break is
// then read one by one.
template <class C>
size_t next_linebreak(std::span<const C> s, size_t i) {
    constexpr size_t kRun = 16 / sizeof(C);
    const size_t n = s.size();
    while (i < n) {
        if (n - i >= kRun) {
            C hit = 0;
            for (size_t k = 0; k < kRun; ++k) {
                const C c = s[i + k];
                hit |= C(c < 0x1F) | C(c == 0x85);  // every break, and a few controls
                if constexpr (sizeof(C) > 1) hit |= C(C(c | 1) == 0x2029);
            }
            if (!hit) {
                i += kRun;
                continue;
            }
        }
        for (const size_t end = std::min(n, i + kRun); i < end; ++i)
            if (is_linebreak(s[i])) return i;
    }
    return n;
}

// Calls f(begin, end) for each line of s as str.splitlines() splits it: the
// breaks are dropped, CR LF counting as one.
template <class C, class F>
void for_each_line(std::span<const C> s, F&& f) {
    const size_t n = s.size();
    size_t i = 0;
    while (i < n) {
        const size_t e = next_linebreak(s, i);
        f(i, e);
        i = e + 1;
        if (e + 1 < n && s[e] == '\r' && s[e + 1] == '\n') ++i;
    }
}

// Number of UTF-16 code units (astral code points count 2).
size_t utf16_units(nb::handle str);

}  // namespace kelvo
