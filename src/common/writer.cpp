// The text writer's result: one allocation in the narrowest storage, each
// piece copied once (widened, or narrowed where a slice of a wider str holds
// only narrower characters).
#include "common/writer.hpp"

#include <algorithm>

namespace kelvo {

namespace {

template <class D, class S>
D* copy_units(D* out, const S* in, Py_ssize_t n) {
    if constexpr (sizeof(D) == sizeof(S)) {
        std::memcpy(out, in, static_cast<size_t>(n) * sizeof(D));
        return out + n;
    } else {
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = static_cast<D>(in[i]);
        return out + n;
    }
}

template <class D, class Pieces>
void fill(D* out, const Pieces& pieces) {
    pieces.each([&](const auto& p) {
        switch (p.kind) {
            case PyUnicode_1BYTE_KIND: out = copy_units(out, static_cast<const Py_UCS1*>(p.data), p.len); break;
            case PyUnicode_2BYTE_KIND: out = copy_units(out, static_cast<const Py_UCS2*>(p.data), p.len); break;
            default: out = copy_units(out, static_cast<const Py_UCS4*>(p.data), p.len); break;
        }
    });
}

}  // namespace

void TextWriter::widen_to_slice(PyObject* s, Py_ssize_t b, Py_ssize_t e) {
    // The slice's own largest character decides, not its str's class: a
    // result must be stored in the narrowest width (str equality compares
    // widths first).
    const Py_UCS4 bound = PyUnicode_MAX_CHAR_VALUE(s);
    if (max_ >= bound) return;
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    for (Py_ssize_t i = b; i < e; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c <= max_) continue;
        max_ = c <= 127 ? 127 : c <= 255 ? 255 : c <= 65535 ? 65535 : 0x10FFFF;
        if (max_ >= bound) return;
    }
}

nb::str TextWriter::finish() {
    PyObject* out = PyUnicode_New(len_, max_);
    if (!out) raise_current();
    switch (PyUnicode_KIND(out)) {
        case PyUnicode_1BYTE_KIND: fill(PyUnicode_1BYTE_DATA(out), pieces_); break;
        case PyUnicode_2BYTE_KIND: fill(PyUnicode_2BYTE_DATA(out), pieces_); break;
        default: fill(PyUnicode_4BYTE_DATA(out), pieces_); break;
    }
    return nb::steal<nb::str>(out);
}

}  // namespace kelvo
