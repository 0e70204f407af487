// Text assembled piece by piece: each piece is a view of a str (kept alive
// by the writer) or of an ASCII literal, and finish() makes the result in
// one allocation, in the narrowest storage that holds it, copying each piece
// once. Any width, lone surrogates included. A writer that is never finished
// discards what it holds.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>
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

class TextWriter {
public:
    explicit TextWriter(Py_ssize_t = 0) {}
    ~TextWriter() {
        kept_.each([](PyObject* o) { Py_DECREF(o); });
    }
    TextWriter(const TextWriter&) = delete;
    TextWriter& operator=(const TextWriter&) = delete;

    // A literal (static storage): ASCII is viewed as it is; other UTF-8 is
    // decoded, so a literal written on every call that is not ASCII belongs
    // in a str made once at load (written with text()).
    template <size_t N>
    TextWriter& utf8(const char (&s)[N]) {
        return utf8(std::string_view(s, N - 1));
    }
    template <class P, std::enable_if_t<std::is_same_v<P, const char*>, int> = 0>
    TextWriter& utf8(P s) {
        return utf8(std::string_view(s));
    }
    TextWriter& utf8(std::string_view s) {
        if (!is_ascii(s)) return take(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr));
        return ascii(s);
    }
    // An ASCII literal that outlives the writer.
    TextWriter& ascii(std::string_view s) {
        if (!s.empty()) add({s.data(), static_cast<Py_ssize_t>(s.size()), PyUnicode_1BYTE_KIND});
        return *this;
    }
    // A str that outlives the writer (a module constant): its characters.
    TextWriter& text(PyObject* s) {
        whole(s);
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
        keep(v.ptr());
        whole(v.ptr());
        return *this;
    }
    TextWriter& repr(nb::handle o) { return take(PyObject_Repr(o.ptr())); }
    // s[b:e] of a str; an empty range writes nothing.
    TextWriter& sub(nb::handle s, Py_ssize_t b, Py_ssize_t e) {
        if (b >= e) return *this;
        PyObject* p = s.ptr();
        keep(p);
        const int kind = static_cast<int>(PyUnicode_KIND(p));
        add({static_cast<const char*>(PyUnicode_DATA(p)) + b * kind, e - b, kind});
        widen_to_slice(p, b, e);
        return *this;
    }
    Py_ssize_t length() const { return len_; }
    nb::str finish();

private:
    static bool is_ascii(std::string_view s) {
        uint64_t any = 0;
        size_t i = 0;
        for (; i + 8 <= s.size(); i += 8) {
            uint64_t w;
            std::memcpy(&w, s.data() + i, 8);
            any |= w;
        }
        for (; i < s.size(); ++i) any |= static_cast<unsigned char>(s[i]);
        return (any & 0x8080808080808080ULL) == 0;
    }
    struct Piece {
        const void* data;
        Py_ssize_t len;
        int kind;
    };
    void add(Piece p) {
        pieces_.push_back(p);
        len_ += p.len;
    }
    // Slices of one text follow each other: it is held once for all of them.
    void keep(PyObject* o) {
        if (o == last_kept_) return;
        kept_.push_back(Py_NewRef(o));
        last_kept_ = o;
    }
    TextWriter& take(PyObject* made) {
        if (!made) raise_current();
        kept_.push_back(made);
        last_kept_ = made;
        whole(made);
        return *this;
    }
    void whole(PyObject* s) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        if (!n) return;
        add({PyUnicode_DATA(s), n, static_cast<int>(PyUnicode_KIND(s))});
        // A str is stored in the narrowest width that holds it, so its
        // class bounds the result's exactly.
        const Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(s);
        if (m > max_) max_ = m;
    }
    void widen_to_slice(PyObject* s, Py_ssize_t b, Py_ssize_t e);

    InlineVec<Piece, 24> pieces_;
    InlineVec<PyObject*, 12> kept_;
    PyObject* last_kept_ = nullptr;
    Py_ssize_t len_ = 0;
    Py_UCS4 max_ = 127;
};

}  // namespace kelvo
