// The compact profile's sentence swaps, and applying any list of swaps.
#include "instructions/instructions.hpp"

#include <string>

namespace kelvo::instructions {

namespace {

struct Swap {
    const char* old_text;
    const char* new_text;
};

// The compact profile is for agents that over-use the docs tools: refresh
// once, save only what the user states, and do not log routine calls.
const Swap kCompact[] = {
    {"At session start, call kelvo_docs_refresh and follow what comes back:",
     "ONCE per session — not before every task, and never when a digest already arrived — call kelvo_docs_refresh and follow what comes back:"},
    {"Save in the other direction too, DURING the session rather than when asked: when the user states a lasting convention or preference, kelvo_doc_save it",
     "Save in the other direction too, but only what the USER states — a lasting convention or preference in their words, never a record of your own actions — and kelvo_doc_save it"},
    {"when you learn something worth keeping — a fix that worked, a gotcha, a failed approach — kelvo_learn it (append-only, dated).",
     "when you learn something worth keeping — a fix that worked, a gotcha, a failed approach — kelvo_learn it (append-only, dated); do not log routine, successful tool calls."},
};

PyObject* s_replace = nullptr;

// `old, new = pair` with the interpreter's own messages for a bad pair.
void unpack2(PyObject* pair, nb::object& first, nb::object& second) {
    if (PyTuple_CheckExact(pair) || PyList_CheckExact(pair)) {
        nb::object held = PyList_CheckExact(pair) ? steal(PyList_AsTuple(pair)) : borrow(pair);
        const Py_ssize_t n = PyTuple_GET_SIZE(held.ptr());
        if (n == 2) {
            first = borrow(PyTuple_GET_ITEM(held.ptr(), 0));
            second = borrow(PyTuple_GET_ITEM(held.ptr(), 1));
            return;
        }
        if (n < 2) PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
        else PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", n);
        raise_current();
    }
    PyObject* it = PyObject_GetIter(pair);
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(pair)->tp_iter == nullptr && !PySequence_Check(pair)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %s object", Py_TYPE(pair)->tp_name);
        }
        raise_current();
    }
    nb::object iter = nb::steal(it);
    nb::object got[2];
    for (int k = 0; k < 2; ++k) {
        PyObject* v = PyIter_Next(it);
        if (!v) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", k);
            raise_current();
        }
        got[k] = nb::steal(v);
    }
    PyObject* extra = PyIter_Next(it);
    if (extra) {
        Py_DECREF(extra);
        if (PyDict_CheckExact(pair)) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", PyDict_GET_SIZE(pair));
        } else {
            PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        }
        raise_current();
    }
    if (PyErr_Occurred()) raise_current();
    first = std::move(got[0]);
    second = std::move(got[1]);
}

}  // namespace

nb::object apply_rewrites(nb::object text, nb::handle rewrites) {
    nb::object it = steal(PyObject_GetIter(rewrites.ptr()));
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        nb::object pair = nb::steal(raw);
        nb::object old_text, new_text;
        unpack2(pair.ptr(), old_text, new_text);
        if (PyUnicode_Check(text.ptr()) && PyUnicode_Check(old_text.ptr()) && PyUnicode_Check(new_text.ptr()))
            text = steal(PyUnicode_Replace(text.ptr(), old_text.ptr(), new_text.ptr(), -1));
        else  // the text's own replace, which words any refusal
            text = steal(PyObject_CallMethodObjArgs(text.ptr(), s_replace, old_text.ptr(), new_text.ptr(), nullptr));
    }
    if (PyErr_Occurred()) raise_current();
    return text;
}

void bind_rewrites(nb::module_& m) {
    s_replace = interned("replace");
    nb::object swaps = steal(PyTuple_New(std::size(kCompact)));
    for (size_t i = 0; i < std::size(kCompact); ++i) {
        nb::object pair = steal(Py_BuildValue("(ss)", kCompact[i].old_text, kCompact[i].new_text));
        PyTuple_SET_ITEM(swaps.ptr(), static_cast<Py_ssize_t>(i), pair.release().ptr());
    }
    m.attr("COMPACT_REWRITES") = swaps;
}

}  // namespace kelvo::instructions
