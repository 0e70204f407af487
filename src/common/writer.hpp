// Text assembled piece by piece, in one allocation for the result, stored in
// the narrowest width that holds it. Short one-byte texts (the usual
// sentence) are copied straight into a buffer inside the writer; the first
// piece that is wider or does not fit turns what was written into the first
// of a list of pieces, each a view of a str (kept alive by the writer) or of
// an ASCII literal, copied once when the result is made. Any width, lone
// surrogates included. A writer that is never finished discards what it holds.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "common/py.hpp"

namespace kelvo {

// A vector whose first N elements live inside it: a short text is built
// without touching the heap.
template <class T, size_t N>
class InlineVec {
public:
    InlineVec() = default;
    InlineVec(const InlineVec&) = delete;
    InlineVec& operator=(const InlineVec&) = delete;
    void push_back(T v) {
        if (size_ < N) inline_[size_] = v;
        else spill_.push_back(v);
        ++size_;
    }
    template <class F>
    void each(F&& f) const {
        for (size_t i = 0; i < size_ && i < N; ++i) f(inline_[i]);
        for (const T& v : spill_) f(v);
    }

private:
    T inline_[N];
    std::vector<T> spill_;
    size_t size_ = 0;
};

// A text fixed when the program is compiled (a literal or a constant array),
// with whether it is ASCII worked out then too.
struct Literal {
    template <size_t N>
    consteval Literal(const char (&s)[N]) : Literal(std::string_view(s, N - 1)) {}
    consteval Literal(const char* s) : Literal(std::string_view(s)) {}
    consteval Literal(std::string_view s) : text(s) {
        for (char c : s) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    }
    std::string_view text;
    bool ascii = true;
};

class TextWriter {
public:
    explicit TextWriter(Py_ssize_t = 0) {}
    ~TextWriter() {
        kept_.each([](PyObject* o) { Py_DECREF(o); });
    }
    TextWriter(const TextWriter&) = delete;
    TextWriter& operator=(const TextWriter&) = delete;

    // A fixed text: ASCII is copied as it is; other UTF-8 is decoded, so a
    // text written on every call that is not ASCII belongs in a str made once
    // at load (written with text()).
    TextWriter& utf8(Literal s) {
        if (s.ascii) return ascii(s.text);
        return take(PyUnicode_DecodeUTF8(s.text.data(), static_cast<Py_ssize_t>(s.text.size()), nullptr));
    }
    // ASCII text that outlives the writer.
    TextWriter& ascii(std::string_view s) {
        add(s.data(), static_cast<Py_ssize_t>(s.size()), PyUnicode_1BYTE_KIND);
        return *this;
    }
    // A str that outlives the writer (a module constant): its characters.
    TextWriter& text(PyObject* s) {
        whole(s, false);
        return *this;
    }
    // str(o), as an f-string writes it (a str subclass's own __str__ included).
    TextWriter& str(nb::handle o) {
        if (PyUnicode_CheckExact(o.ptr())) return plain(o);
        return take(PyObject_Str(o.ptr()));
    }
    // The string form of a Value: a string's own characters, whatever a
    // subclass's __str__ says; anything else as str() gives it.
    TextWriter& plain(nb::handle v) {
        if (!PyUnicode_Check(v.ptr())) return take(PyObject_Str(v.ptr()));
        whole(v.ptr(), true);
        return *this;
    }
    // repr(o), written without making it where that is plain: a str of
    // printable ASCII without quotes or backslashes, an int, a bool, None,
    // and a short list or tuple of those.
    TextWriter& repr(nb::handle o);
    // s[b:e] of a str; an empty range writes nothing.
    TextWriter& sub(nb::handle s, Py_ssize_t b, Py_ssize_t e) {
        if (b >= e) return *this;
        PyObject* p = s.ptr();
        const int kind = static_cast<int>(PyUnicode_KIND(p));
        widen_to_slice(p, b, e);
        add(static_cast<const char*>(PyUnicode_DATA(p)) + b * kind, e - b, kind, p);
        return *this;
    }
    Py_ssize_t length() const { return len_; }
    nb::str finish();

private:
    struct Piece {
        const void* data;
        Py_ssize_t len;
        int kind;
    };
    static constexpr Py_ssize_t kHead = 448;

    // n units of `kind` at data; `owner` is the str they belong to, held
    // while they are only viewed (null: static text).
    void add(const void* data, Py_ssize_t n, int kind, PyObject* owner = nullptr) {
        if (!n) return;
        if (direct_ && kind == PyUnicode_1BYTE_KIND && len_ + n <= kHead) {
            std::memcpy(head_ + len_, data, static_cast<size_t>(n));
            len_ += n;
            return;
        }
        add_piece({data, n, kind}, owner);
    }
    void add_piece(Piece p, PyObject* owner);
    TextWriter& take(PyObject* made) {
        if (!made) raise_current();
        whole(made, true);
        Py_DECREF(made);  // still held by the writer where it is only viewed
        return *this;
    }
    void whole(PyObject* s, bool hold) {
        // A str is stored in the narrowest width that holds it, so its
        // class bounds the result's exactly.
        const Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(s);
        if (m > max_) max_ = m;
        add(PyUnicode_DATA(s), PyUnicode_GET_LENGTH(s), static_cast<int>(PyUnicode_KIND(s)), hold ? s : nullptr);
    }
    void widen_to_slice(PyObject* s, Py_ssize_t b, Py_ssize_t e);

    char head_[kHead];
    bool direct_ = true;
    InlineVec<Piece, 16> pieces_;
    InlineVec<PyObject*, 8> kept_;
    PyObject* last_kept_ = nullptr;
    Py_ssize_t len_ = 0;
    Py_UCS4 max_ = 127;
};

// A writer made on the heap (one per rewritten text, say) stays within the
// sizes malloc serves from its per-thread cache.
static_assert(sizeof(TextWriter) <= 1024);

}  // namespace kelvo
