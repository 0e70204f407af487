// The text writer's result: one allocation in the narrowest storage, each
// piece copied once (widened, or narrowed where a slice of a wider str holds
// only narrower characters).
#include "common/writer.hpp"

#include <charconv>

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

void TextWriter::add_piece(Piece p, PyObject* owner) {
    if (direct_) {
        direct_ = false;
        if (len_) pieces_.push_back({head_, len_, PyUnicode_1BYTE_KIND});
    }
    // Slices of one text follow each other: it is held once for all of them.
    if (owner && owner != last_kept_) {
        kept_.push_back(Py_NewRef(owner));
        last_kept_ = owner;
    }
    pieces_.push_back(p);
    len_ += p.len;
}

namespace {

// A str whose repr is its characters between single quotes.
bool quotes_plainly(PyObject* p) {
    if (!PyUnicode_CheckExact(p) || !PyUnicode_IS_ASCII(p)) return false;
    const Py_UCS1* s = PyUnicode_1BYTE_DATA(p);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(p);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (s[i] < 0x20 || s[i] >= 0x7f || s[i] == '\'' || s[i] == '\\') return false;
    return true;
}

// A value whose repr runs no code of its own and reaches no other object.
bool plain_scalar(PyObject* p) {
    return quotes_plainly(p) || PyLong_CheckExact(p) || PyBool_Check(p) || p == Py_None;
}

}  // namespace

TextWriter& TextWriter::repr(nb::handle o) {
    PyObject* p = o.ptr();
    if (quotes_plainly(p)) {
        ascii("'");
        whole(p, true);
        return ascii("'");
    }
    if (PyLong_CheckExact(p) && direct_ && len_ + 24 <= kHead) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(p, &overflow);
        if (!overflow) {
            const auto r = std::to_chars(head_ + len_, head_ + kHead, v);
            len_ = r.ptr - head_;
            return *this;
        }
    }
    if (PyBool_Check(p)) return ascii(p == Py_True ? "True" : "False");
    if (p == Py_None) return ascii("None");
    // A short list or tuple of such values, as the interpreter writes it.
    if ((PyList_CheckExact(p) || PyTuple_CheckExact(p)) && PySequence_Fast_GET_SIZE(p) <= 16) {
        PyObject** items = PySequence_Fast_ITEMS(p);
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(p);
        bool plain = true;
        for (Py_ssize_t i = 0; i < n && plain; ++i) plain = plain_scalar(items[i]);
        if (plain) {
            const bool list = PyList_CheckExact(p);
            ascii(list ? "[" : "(");
            for (Py_ssize_t i = 0; i < n; ++i) {
                if (i) ascii(", ");
                repr(items[i]);
            }
            return ascii(list ? "]" : n == 1 ? ",)" : ")");
        }
    }
    return take(PyObject_Repr(p));
}

nb::str TextWriter::finish() {
    PyObject* out = PyUnicode_New(len_, max_);
    if (!out) raise_current();
    if (direct_) {
        std::memcpy(PyUnicode_1BYTE_DATA(out), head_, static_cast<size_t>(len_));
        return nb::steal<nb::str>(out);
    }
    switch (PyUnicode_KIND(out)) {
        case PyUnicode_1BYTE_KIND: fill(PyUnicode_1BYTE_DATA(out), pieces_); break;
        case PyUnicode_2BYTE_KIND: fill(PyUnicode_2BYTE_DATA(out), pieces_); break;
        default: fill(PyUnicode_4BYTE_DATA(out), pieces_); break;
    }
    return nb::steal<nb::str>(out);
}

}  // namespace kelvo
