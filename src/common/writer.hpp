// Text assembled piece by piece: the interpreter's own PyUnicodeWriter, which
// stores the result in the narrowest width that holds it. Any width, lone
// surrogates included. A writer that is never finished discards what it holds.
#pragma once

#include <string_view>

#include "common/py.hpp"

namespace kelvo {

class TextWriter {
public:
    // `expected`: the length the text is likely to reach, so a long text is
    // not copied as it grows (a guess; the text may end shorter or longer).
    explicit TextWriter(Py_ssize_t expected = 0) : w_(PyUnicodeWriter_Create(expected)) {
        if (!w_) raise_current();
    }
    ~TextWriter() {
        if (w_) PyUnicodeWriter_Discard(w_);
    }
    TextWriter(const TextWriter&) = delete;
    TextWriter& operator=(const TextWriter&) = delete;

    // A fixed UTF-8 text (a literal). A non-ASCII text written on every call
    // belongs in a str made once at load (written with text()).
    TextWriter& utf8(std::string_view s) {
        return check(PyUnicodeWriter_WriteUTF8(w_, s.data(), static_cast<Py_ssize_t>(s.size())));
    }
    TextWriter& ascii(std::string_view s) {
        return check(PyUnicodeWriter_WriteASCII(w_, s.data(), static_cast<Py_ssize_t>(s.size())));
    }
    // The characters of a str (a subclass's own characters, whatever its
    // __str__ says).
    TextWriter& text(nb::handle s) { return sub(s, 0, PyUnicode_GET_LENGTH(s.ptr())); }
    // str(o), as an f-string writes it (a str subclass's own __str__ included).
    TextWriter& str(nb::handle o) { return check(PyUnicodeWriter_WriteStr(w_, o.ptr())); }
    // The string form of a Value: a string's own characters, anything else
    // as str() gives it.
    TextWriter& plain(nb::handle v) { return PyUnicode_Check(v.ptr()) ? text(v) : str(v); }
    TextWriter& repr(nb::handle o) { return check(PyUnicodeWriter_WriteRepr(w_, o.ptr())); }
    // s[b:e] of a str; an empty range writes nothing.
    TextWriter& sub(nb::handle s, Py_ssize_t b, Py_ssize_t e) {
        if (b >= e) return *this;
        return check(PyUnicodeWriter_WriteSubstring(w_, s.ptr(), b, e));
    }

    nb::str finish() {
        PyObject* out = PyUnicodeWriter_Finish(w_);
        w_ = nullptr;
        return nb::steal<nb::str>(steal(out).release());
    }

private:
    TextWriter& check(int status) {
        if (status < 0) raise_current();
        return *this;
    }
    PyUnicodeWriter* w_;
};

}  // namespace kelvo
