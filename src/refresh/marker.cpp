// Doc names and the doc marker: the one-line JSON object, stored as the text
// of a page's first non-blank block, that makes the page an agent doc.
#include "refresh/marker.hpp"

#include <cstring>
#include <string>
#include <string_view>

#include "common/text.hpp"
#include "common/value.hpp"
#include "common/writer.hpp"
#include "refresh/bindings.hpp"
#include "refresh/markdown.hpp"

namespace kelvo::refresh {

namespace {

constexpr std::string_view kSentinelKey = "__kelvo_agent_doc__";
constexpr size_t kMaxDocName = 64;
constexpr Py_ssize_t kMaxWhenToUse = 200;

struct MarkerNames {
    PyObject* sentinel;
    PyObject* name;
    PyObject* kind;
    PyObject* when_to_use;
    PyObject* pinned;
    PyObject* v;
    PyObject* doc;
    PyObject* skill;
    PyObject* learnings;
    PyObject* empty;
    PyObject* one;
    PyObject* lower;
    PyObject* zero;
    PyObject* scan;  // JSONDecoder(parse_constant=<refuse>).scan_once: (value, end) of the value at an index
};
MarkerNames M{};

bool name_char(uint32_t c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

// ^[a-z0-9][a-z0-9._-]{0,63}$ matched against the whole text. Unlike the
// pattern's `$`, a final line feed is not accepted: a name is a clean slug.
bool name_ok(PyObject* s) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (n < 1 || static_cast<size_t>(n) > kMaxDocName || !PyUnicode_IS_ASCII(s)) return false;
    const unsigned char* p = PyUnicode_1BYTE_DATA(s);
    if (!name_char(p[0])) return false;
    for (Py_ssize_t i = 1; i < n; ++i)
        if (!name_char(p[i]) && p[i] != '.' && p[i] != '_' && p[i] != '-') return false;
    return true;
}

// True when the pending error is one that marks the text as malformed; any
// other error (MemoryError, KeyboardInterrupt, ...) must propagate.
bool malformed_error() {
    return PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_RecursionError) ||
           PyErr_ExceptionMatches(PyExc_StopIteration);  // no value at all
}

// The member's string form, or null when absent or falsy.
nb::object member_text(PyObject* obj, PyObject* key) {
    nb::object v = get_member(obj, key);
    if (!v.is_valid() || !truthy(v)) return nb::object();
    return str_form(v);
}

// int(v), or an invalid object when int() refuses v (TypeError, ValueError,
// OverflowError); other errors propagate.
nb::object to_int(nb::handle v) {
    PyObject* r = PyNumber_Long(v.ptr());
    if (r) return nb::steal(r);
    if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError) ||
        PyErr_ExceptionMatches(PyExc_OverflowError)) {
        PyErr_Clear();
        return nb::object();
    }
    raise_current();
}

// The doc kind named by a trimmed text: Unicode-lowercased, one of the
// three kinds, anything else "doc".
PyObject* kind_of(nb::handle trimmed) {
    nb::object lowered = steal(PyObject_CallMethodNoArgs(trimmed.ptr(), M.lower));
    for (PyObject* kind : {M.skill, M.learnings}) {
        const int eq = PyUnicode_Equal(lowered.ptr(), kind);
        if (eq < 0) raise_current();
        if (eq) return kind;
    }
    return M.doc;
}

nb::object read_marker(nb::handle trimmed) {
    // One JSON value from the start; the text is trimmed of every Unicode
    // space, JSON's four included, so the value must end where the text does.
    PyObject* args[2] = {trimmed.ptr(), M.zero};
    PyObject* scanned = PyObject_Vectorcall(M.scan, args, 2, nullptr);
    if (!scanned) {
        if (malformed_error()) {
            PyErr_Clear();
            return nb::none();
        }
        raise_current();
    }
    nb::object pair = nb::steal(scanned);
    const Py_ssize_t end = PyLong_AsSsize_t(PyTuple_GET_ITEM(pair.ptr(), 1));
    if (end == -1 && PyErr_Occurred()) raise_current();
    if (end != PyUnicode_GET_LENGTH(trimmed.ptr())) return nb::none();
    PyObject* parsed = PyTuple_GET_ITEM(pair.ptr(), 0);
    if (!PyDict_CheckExact(parsed)) return nb::none();
    nb::object flag = get_member(parsed, M.sentinel);
    if (!flag.is_valid() || !truthy(flag)) return nb::none();

    nb::object name_raw = member_text(parsed, M.name);
    if (!name_raw.is_valid()) return nb::none();
    nb::str name = trim(name_raw);
    if (!name_ok(name.ptr())) return nb::none();

    nb::object kind_raw = member_text(parsed, M.kind);
    PyObject* kind = kind_raw.is_valid() ? kind_of(trim(kind_raw)) : M.doc;

    nb::object v = nb::borrow(M.one);
    nb::object v_raw = get_member(parsed, M.v);
    if (v_raw.is_valid()) {
        nb::object n = to_int(v_raw);
        if (n.is_valid()) {
            const int low = PyObject_RichCompareBool(n.ptr(), M.one, Py_LT);
            if (low < 0) raise_current();
            if (!low) v = n;
        }
    }

    nb::object when = member_text(parsed, M.when_to_use);
    if (!when.is_valid()) when = nb::borrow(M.empty);
    else if (PyUnicode_GET_LENGTH(when.ptr()) > kMaxWhenToUse || !PyUnicode_CheckExact(when.ptr()))
        when = steal(PyUnicode_Substring(when.ptr(), 0, kMaxWhenToUse));

    nb::object pinned_raw = get_member(parsed, M.pinned);
    const bool pinned = pinned_raw.is_valid() && truthy(pinned_raw);

    nb::object out = steal(PyDict_New());
    if (PyDict_SetItem(out.ptr(), M.name, name.ptr()) < 0 || PyDict_SetItem(out.ptr(), M.kind, kind) < 0 ||
        PyDict_SetItem(out.ptr(), M.when_to_use, when.ptr()) < 0 ||
        PyDict_SetItem(out.ptr(), M.pinned, pinned ? Py_True : Py_False) < 0 ||
        PyDict_SetItem(out.ptr(), M.v, v.ptr()) < 0)
        raise_current();
    return out;
}

nb::str make_sentinel(nb::handle name, nb::handle kind, nb::handle when_to_use, nb::handle pinned, nb::handle v) {
    const bool with_when = truthy(when_to_use);
    const bool with_pinned = truthy(pinned);
    nb::object version = steal(PyNumber_Long(v.ptr()));
    nb::object obj = steal(PyDict_New());
    if (PyDict_SetItem(obj.ptr(), M.sentinel, M.one) < 0 || PyDict_SetItem(obj.ptr(), M.name, name.ptr()) < 0 ||
        PyDict_SetItem(obj.ptr(), M.kind, kind.ptr()) < 0 ||
        (with_when && PyDict_SetItem(obj.ptr(), M.when_to_use, when_to_use.ptr()) < 0) ||
        (with_pinned && PyDict_SetItem(obj.ptr(), M.pinned, Py_True) < 0) ||
        PyDict_SetItem(obj.ptr(), M.v, version.ptr()) < 0)
        raise_current();
    const std::string text = json_text(obj);  // pure ASCII
    TextWriter marker;
    return marker.ascii(text).finish();
}

// parse_constant for the decoder: NaN, Infinity and -Infinity are not JSON.
PyObject* refuse_constant(PyObject*, PyObject* word) {
    PyErr_Format(PyExc_ValueError, "not a JSON value: %R", word);
    return nullptr;
}
PyMethodDef kRefuseConstant = {"_refuse_constant", refuse_constant, METH_O, nullptr};

void init_marker_names() {
    M.sentinel = interned(kSentinelKey.data());
    M.name = interned("name");
    M.kind = interned("kind");
    M.when_to_use = interned("when_to_use");
    M.pinned = interned("pinned");
    M.v = interned("v");
    M.doc = interned("doc");
    M.skill = interned("skill");
    M.learnings = interned("learnings");
    M.lower = interned("lower");
    M.empty = PyUnicode_New(0, 0);
    M.one = PyLong_FromLong(1);
    if (!M.empty || !M.one) raise_current();
    nb::object refuse = steal(PyCFunction_New(&kRefuseConstant, nullptr));
    nb::object decoder_type = import_attr("json", "JSONDecoder");
    nb::object decoder = decoder_type(nb::arg("parse_constant") = refuse);
    M.scan = nb::object(decoder.attr("scan_once")).release().ptr();
    M.zero = PyLong_FromLong(0);
    if (!M.zero) raise_current();
}

// Whether the text holds the marker key anywhere. One-byte text, the usual
// kind, is scanned for the key's underscores (rare in prose) at memchr's
// speed; wider text goes to the interpreter's own search.
bool holds_key(PyObject* t) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(t);
    constexpr size_t k = kSentinelKey.size();
    if (PyUnicode_KIND(t) == PyUnicode_1BYTE_KIND) {
        const char* p = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(t));
        const char* end = p + n;
        while (static_cast<size_t>(end - p) >= k) {
            const char* u = static_cast<const char*>(std::memchr(p, '_', static_cast<size_t>(end - p) - (k - 1)));
            if (!u) return false;
            if (std::memcmp(u, kSentinelKey.data(), k) == 0) return true;
            p = u + 1;
        }
        return false;
    }
    const Py_ssize_t found = PyUnicode_Find(t, M.sentinel, 0, n, 1);
    if (found == -2) raise_current();
    return found >= 0;
}

}  // namespace

bool valid_name(nb::handle name) { return PyUnicode_Check(name.ptr()) && name_ok(name.ptr()); }

nb::object parse_sentinel(nb::handle text) {
    PyObject* t = text.ptr();
    if (!PyUnicode_Check(t)) {
        if (t == Py_None || !truthy(t)) return nb::none();
        raise_not_text(text, "strip");
    }
    // The key holds no whitespace, so it is in the trimmed text exactly when
    // it is in the text: most texts are turned away before any trimming.
    if (!holds_key(t)) return nb::none();
    nb::str trimmed = trim(text);
    try {
        return read_marker(trimmed);
    } catch (nb::python_error& e) {
        // A member whose string form nests too deeply to print, and the like.
        if (e.matches(PyExc_RecursionError) || e.matches(PyExc_ValueError)) return nb::none();
        throw;
    }
}

void bind_marker(nb::module_& m) {
    init_marker_names();
    nb::object re_compile = import_attr("re", "compile");
    m.attr("SENTINEL_KEY") = nb::handle(M.sentinel);
    m.attr("DOC_KINDS") = nb::make_tuple(nb::handle(M.doc), nb::handle(M.skill), nb::handle(M.learnings));
    m.attr("MAX_DOC_NAME") = nb::int_(kMaxDocName);
    m.attr("MAX_WHEN_TO_USE") = nb::int_(kMaxWhenToUse);
    m.attr("_NAME_RE") = re_compile(nb::str("^[a-z0-9][a-z0-9._-]{0,63}$"));

    m.def("valid_name", &valid_name, nb::arg("name").none(),
          "Whether name is a doc name: a lowercase ASCII letter or digit, then up to 63 of a-z 0-9 . _ -.",
          nb::sig("def valid_name(name: str | None) -> bool"));
    m.def("make_sentinel", &make_sentinel, nb::arg("name").none(), nb::arg("kind").none(),
          nb::arg("when_to_use").none() = "", nb::arg("pinned").none() = false, nb::arg("v").none() = 1,
          "The doc marker text: one line of JSON, pure ASCII.",
          nb::sig("def make_sentinel(name: str, kind: str, when_to_use: str = '', pinned: bool = False, v: int | float | str = 1) -> str"));
    m.def("parse_sentinel", &parse_sentinel, nb::arg("text").none(),
          "The marker record (name, kind, when_to_use, pinned, v) read from a block text, or None.",
          nb::sig("def parse_sentinel(text: str | None) -> _Marker | None"));
}

}  // namespace kelvo::refresh
