// Text assembled piece by piece with the interpreter's own writer
// (PyUnicodeWriter): any width, lone surrogates included. A writer that is
// never finished discards what it holds.
#pragma once

#include "common/py.hpp"

namespace kelvo {

class TextWriter {
public:
    explicit TextWriter(Py_ssize_t size_hint = 0) : w_(PyUnicodeWriter_Create(size_hint)) {
        if (!w_) raise_current();
    }
    ~TextWriter() {
        if (w_) PyUnicodeWriter_Discard(w_);
    }
    TextWriter(const TextWriter&) = delete;
    TextWriter& operator=(const TextWriter&) = delete;

    TextWriter& utf8(const char* s) { return check(PyUnicodeWriter_WriteUTF8(w_, s, -1)); }
    TextWriter& ascii(const char* s) { return check(PyUnicodeWriter_WriteASCII(w_, s, -1)); }
    // str(o), as an f-string writes it (a str subclass's own __str__ included).
    TextWriter& str(nb::handle o) { return check(PyUnicodeWriter_WriteStr(w_, o.ptr())); }
    // The string form of a Value: a string's own characters, whatever a
    // subclass's __str__ says; anything else as str() gives it.
    TextWriter& plain(nb::handle v) {
        return check(PyUnicode_Check(v.ptr())
                         ? PyUnicodeWriter_WriteSubstring(w_, v.ptr(), 0, PyUnicode_GET_LENGTH(v.ptr()))
                         : PyUnicodeWriter_WriteStr(w_, v.ptr()));
    }
    TextWriter& repr(nb::handle o) { return check(PyUnicodeWriter_WriteRepr(w_, o.ptr())); }
    // s[b:e] of a str; an empty range writes nothing.
    TextWriter& sub(nb::handle s, Py_ssize_t b, Py_ssize_t e) {
        return b < e ? check(PyUnicodeWriter_WriteSubstring(w_, s.ptr(), b, e)) : *this;
    }
    nb::str finish() {
        PyObject* r = PyUnicodeWriter_Finish(w_);
        w_ = nullptr;
        return nb::steal<nb::str>(steal(r).release());
    }

private:
    TextWriter& check(int rc) {
        if (rc < 0) raise_current();
        return *this;
    }
    PyUnicodeWriter* w_;
};

}  // namespace kelvo
