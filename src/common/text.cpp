#include "common/text.hpp"

namespace kelvo {

nb::str trim(nb::handle str) {
    StrView v(str);
    auto [b, e] = trim_bounds(v);
    if (b == 0 && e == v.size() && PyUnicode_CheckExact(str.ptr())) return nb::borrow<nb::str>(str);
    return nb::steal<nb::str>(steal(PyUnicode_Substring(str.ptr(), static_cast<Py_ssize_t>(b),
                                                        static_cast<Py_ssize_t>(e))).release());
}

size_t utf16_units(nb::handle str) {
    StrView v(str);
    size_t n = v.size();
    if (v.kind() != PyUnicode_4BYTE_KIND) return n;  // no astral code points below UCS4
    const Py_UCS4* p = static_cast<const Py_UCS4*>(v.data());
    // Runs of 16 are counted by a loop of fixed length, which the compiler
    // turns into vector compares; the tail one by one.
    size_t extra = 0, i = 0;
    for (; i + 16 <= n; i += 16) {
        unsigned run = 0;
        for (size_t j = 0; j < 16; ++j) run += p[i + j] > 0xFFFF;
        extra += run;
    }
    for (; i < n; ++i) extra += p[i] > 0xFFFF;
    return n + extra;
}

}  // namespace kelvo
