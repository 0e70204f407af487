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
    size_t extra = 0;
    for (size_t i = 0; i < n; ++i) extra += p[i] > 0xFFFF;
    return n + extra;
}

}  // namespace kelvo
