#include "common/value.hpp"

#include <string>
#include <unordered_set>

namespace kelvo {

bool truthy(nb::handle v) {
    int r = PyObject_IsTrue(v.ptr());
    if (r < 0) raise_current();
    return r != 0;
}

bool equal(nb::handle a, nb::handle b) {
    if (a.ptr() == b.ptr()) return true;
    if (PyUnicode_CheckExact(a.ptr()) && PyUnicode_CheckExact(b.ptr())) return same_text(a.ptr(), b.ptr());
    const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) raise_current();
    return r == 1;
}

nb::str str_form(nb::handle v) {
    if (PyUnicode_Check(v.ptr())) return nb::borrow<nb::str>(v);
    return nb::steal<nb::str>(steal(PyObject_Str(v.ptr())).release());
}

static std::string take_pystring(char* s) {
    if (!s) raise_current();
    std::string out(s);
    PyMem_Free(s);
    return out;
}

std::string float_repr(double x) {
    return take_pystring(PyOS_double_to_string(x, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr));
}

std::string format_g(double x) {
    return take_pystring(PyOS_double_to_string(x, 'g', 6, 0, nullptr));
}

namespace {

const char kHex[] = "0123456789abcdef";

inline void append_u_escape(std::string& out, unsigned c) {
    char buf[6] = {'\\', 'u', kHex[(c >> 12) & 15], kHex[(c >> 8) & 15], kHex[(c >> 4) & 15], kHex[c & 15]};
    out.append(buf, 6);
}

inline bool plain(unsigned c) { return c >= 0x20 && c <= 0x7E && c != '\\' && c != '"'; }

template <class Unit>
void append_escaped(std::string& out, std::span<const Unit> s) {
    out.push_back('"');
    const Unit* p = s.data();
    const Unit* const end = p + s.size();
    while (p != end) {
        // A run of characters that stand for themselves, copied at once.
        const Unit* run = p;
        while (run != end && plain(*run)) ++run;
        if (run != p) {
            const size_t at = out.size(), n = static_cast<size_t>(run - p);
            if constexpr (sizeof(Unit) == 1) {
                out.append(reinterpret_cast<const char*>(p), n);
            } else {
                out.resize(at + n);
                char* dst = out.data() + at;
                for (size_t i = 0; i < n; ++i) dst[i] = static_cast<char>(p[i]);
            }
            p = run;
            if (p == end) break;
        }
        const unsigned c = static_cast<unsigned>(*p++);
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                if (c >= 0x10000) {
                    const unsigned v = c - 0x10000;
                    append_u_escape(out, 0xD800 | ((v >> 10) & 0x3FF));
                    append_u_escape(out, 0xDC00 | (v & 0x3FF));
                } else {
                    append_u_escape(out, c);
                }
        }
    }
    out.push_back('"');
}

class JsonWriter {
public:
    JsonWriter(std::string& out, std::span<JsonMarks> marks) : out_(out), marks_(marks) {}

    void value(PyObject* v) {
        if (v == Py_None) { out_ += "null"; return; }
        if (v == Py_True) { out_ += "true"; return; }
        if (v == Py_False) { out_ += "false"; return; }
        if (PyUnicode_Check(v)) { json_append_string(out_, nb::handle(v)); return; }
        if (PyLong_Check(v)) { integer(v); return; }
        if (PyFloat_Check(v)) { floating(PyFloat_AS_DOUBLE(v)); return; }
        if (PyList_Check(v) || PyTuple_Check(v)) { sequence(v); return; }
        if (PyDict_Check(v)) { mapping(v); return; }
        raise_format(PyExc_TypeError, "Object of type %.200s is not JSON serializable", Py_TYPE(v)->tp_name);
    }

private:
    struct Guard {
        JsonWriter& w;
        PyObject* container;
        NestingGuard nesting{" while encoding a JSON object"};
        explicit Guard(JsonWriter& writer, PyObject* c) : w(writer), container(c) {
            // A set, not a scan of the open containers: a value nested tens of
            // thousands deep must fail fast with RecursionError.
            if (w.open_.count(container)) raise(PyExc_ValueError, "Circular reference detected");
            w.open_.insert(container);
        }
        ~Guard() { w.open_.erase(container); }
    };

    void integer(PyObject* v) {
        // int.__repr__, whatever a subclass's own repr says (as json does).
        nb::object s = steal(PyLong_Type.tp_repr(v));
        Py_ssize_t n;
        const char* p = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
        if (!p) raise_current();
        out_.append(p, static_cast<size_t>(n));
    }

    void floating(double x) {
        if (std::isnan(x)) out_ += "NaN";
        else if (std::isinf(x)) out_ += x > 0 ? "Infinity" : "-Infinity";
        else out_ += float_repr(x);
    }

    void sequence(PyObject* v) {
        Guard g(*this, v);
        std::vector<size_t>* ends = nullptr;
        for (JsonMarks& m : marks_)
            if (m.list == v) ends = &m.ends;
        out_.push_back('[');
        if (ends) ends->push_back(out_.size());
        // The live size at every step and each item held, as json reads a
        // list that an item's own code may shrink or clear. A subclass is
        // read from its storage too (json.dumps would run its __iter__).
        const bool list = PyList_Check(v);
        nb::object item;
        for (Py_ssize_t i = 0; list ? list_next(v, i, item) : i < PyTuple_GET_SIZE(v); ++i) {
            if (i) out_ += ", ";
            if (!list) item = borrow(PyTuple_GET_ITEM(v, i));
            value(item.ptr());
            if (ends) ends->push_back(out_.size());
        }
        out_.push_back(']');
    }

    void key(PyObject* k) {
        if (PyUnicode_Check(k)) { json_append_string(out_, nb::handle(k)); return; }
        if (k != Py_None && !PyLong_Check(k) && !PyFloat_Check(k))
            raise_format(PyExc_TypeError, "keys must be str, int, float, bool or None, not %.100s", Py_TYPE(k)->tp_name);
        // None, a bool or a number: its value's own text, quoted.
        out_.push_back('"');
        value(k);
        out_.push_back('"');
    }

    void mapping(PyObject* v) {
        if (PyDict_GET_SIZE(v) == 0) {  // as json: an empty dict's items() is never asked
            out_ += "{}";
            return;
        }
        Guard g(*this, v);
        out_.push_back('{');
        if (PyDict_CheckExact(v)) {
            // As json walks a plain dict: live, so what a value's own code
            // adds or removes ahead of the walk is seen; each pair is held
            // while it is written.
            Py_ssize_t pos = 0;
            for (bool first = true;; first = false) {
                nb::object k, item;
                if (!dict_next(v, pos, k, item)) break;
                if (!first) out_ += ", ";
                key(k.ptr());
                out_ += ": ";
                value(item.ptr());
            }
        } else {
            // A subclass's own items(), as json takes them.
            nb::object items = steal(PyMapping_Items(v));
            nb::object pair;
            for (Py_ssize_t i = 0; list_next(items, i, pair); ++i) {
                if (!PyTuple_Check(pair.ptr()) || PyTuple_GET_SIZE(pair.ptr()) != 2)
                    raise(PyExc_ValueError, "items must return 2-tuples");
                if (i) out_ += ", ";
                key(PyTuple_GET_ITEM(pair.ptr(), 0));
                out_ += ": ";
                value(PyTuple_GET_ITEM(pair.ptr(), 1));
            }
        }
        out_.push_back('}');
    }

    std::string& out_;
    std::span<JsonMarks> marks_;
    std::unordered_set<PyObject*> open_;
};

}  // namespace

void json_append_string(std::string& out, nb::handle str) {
    StrView(str).visit([&](auto sv) { append_escaped(out, sv); });
}

void json_append(std::string& out, nb::handle v, std::span<JsonMarks> marks) { JsonWriter(out, marks).value(v.ptr()); }

std::string json_text(nb::handle v) {
    std::string out;
    json_append(out, v, {});
    return out;
}

nb::object map_get(nb::handle map, PyObject* key) {
    if (PyDict_CheckExact(map.ptr())) return get_member(map, key);
    nb::object v = steal(PyObject_CallMethod(map.ptr(), "get", "O", key));
    return v.is_none() ? nb::object() : v;
}

nb::object get_member(nb::handle map, PyObject* key) {
    if (!PyDict_Check(map.ptr())) return nb::object();
    PyObject* r = nullptr;
    if (PyDict_GetItemRef(map.ptr(), key, &r) < 0) raise_current();
    return nb::steal(r);
}

}  // namespace kelvo
