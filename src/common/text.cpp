#include "common/text.hpp"

#include <cstring>

namespace kelvo {

u32 to_u32(nb::handle str) {
    StrView v(str);
    return v.visit([](auto sv) { return u32(sv.begin(), sv.end()); });
}

nb::str from_u32(u32v text) {
    return nb::steal<nb::str>(steal(PyUnicode_FromKindAndData(
        PyUnicode_4BYTE_KIND, text.data(), static_cast<Py_ssize_t>(text.size()))).release());
}

nb::str from_ascii(std::string_view ascii) {
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(ascii.size()), 127);
    if (!s) raise_current();
    std::memcpy(PyUnicode_DATA(s), ascii.data(), ascii.size());
    return nb::steal<nb::str>(s);
}

u32 u32_from_utf8(std::string_view utf8) {
    nb::object s = steal(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "strict"));
    return to_u32(s);
}

nb::str trim(nb::handle str) {
    StrView v(str);
    auto [b, e] = trim_bounds(v);
    if (b == 0 && e == v.size() && PyUnicode_CheckExact(str.ptr())) return nb::borrow<nb::str>(str);
    return nb::steal<nb::str>(steal(PyUnicode_Substring(str.ptr(), static_cast<Py_ssize_t>(b),
                                                        static_cast<Py_ssize_t>(e))).release());
}

bool has_non_space(u32v s) {
    for (char32_t c : s)
        if (!is_space(c)) return true;
    return false;
}

std::vector<u32v> split_lines(u32v s) {
    std::vector<u32v> out;
    for (auto [b, e] : split_line_bounds(s)) out.push_back(s.substr(b, e - b));
    return out;
}

u32 u32_of(long long n) {
    std::string d = std::to_string(n);
    return u32(d.begin(), d.end());
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
