// Small bridges between C++ and the interpreter's C API: owned references,
// error propagation, and the nanobind headers every module uses.
#pragma once

#include <nanobind/nanobind.h>
#include <Python.h>

#include <exception>
#include <new>

namespace kelvo {

namespace nb = nanobind;

// Binding note: nanobind refuses None for an nb::handle/nb::object parameter
// unless it is declared with nb::arg("name").none(); every parameter that
// takes a Value (where None is a legal input or must fail with the error the
// module specifies) needs it.

// The interpreter has an error set: carry it to the caller as a C++ exception
// that nanobind turns back into the same Python exception.
[[noreturn]] inline void raise_current() { throw nb::python_error(); }

// Take ownership of a new reference returned by the C API; null means the
// call failed with an exception set.
inline nb::object steal(PyObject* o) {
    if (!o) raise_current();
    return nb::steal(o);
}

inline nb::object borrow(PyObject* o) { return nb::borrow(o); }

// A walk over a caller's list, as the interpreter's own loop reads one: item
// i while i is below the list's live size, held (code run later, a host's
// __eq__, items(), a name map, may clear the list, and the item must
// outlive that), and false once i is past the end, which ends the walk. The
// size and the item are read together under the list's lock, so a list that
// another thread shrinks between two steps ends the walk there, never
// raising IndexError.
//
//   nb::object item;
//   for (Py_ssize_t i = 0; list_next(list, i, item); ++i) ...
inline bool list_next(nb::handle list, Py_ssize_t i, nb::object& item) {
    PyObject* o = nullptr;
    Py_BEGIN_CRITICAL_SECTION(list.ptr());
    if (i < PyList_GET_SIZE(list.ptr())) o = Py_NewRef(PyList_GET_ITEM(list.ptr(), i));
    Py_END_CRITICAL_SECTION();
    item = nb::steal(o);
    return o != nullptr;
}

// The next pair of a dict that code run between steps (or another thread)
// may change: each step takes the dict's own lock, and the pair is held.
inline bool dict_next(PyObject* dict, Py_ssize_t& pos, nb::object& key, nb::object& value) {
    PyObject *k = nullptr, *v = nullptr;
    int more;
    Py_BEGIN_CRITICAL_SECTION(dict);
    more = PyDict_Next(dict, &pos, &k, &v);
    if (more) {
        Py_INCREF(k);
        Py_INCREF(v);
    }
    Py_END_CRITICAL_SECTION();
    if (!more) return false;
    key = nb::steal(k);
    value = nb::steal(v);
    return true;
}

// Run a C slot's body: a C++ exception never crosses into the interpreter;
// it becomes the Python error it stands for (MemoryError for bad_alloc).
template <class R, class F>
R slot_guard(R failed, F&& body) noexcept {
    try {
        return body();
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    }
    return failed;
}

// Raise `type(message)` from C++.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    raise_current();
}

[[noreturn]] inline void raise_obj(PyObject* type, nb::handle message) {
    PyErr_SetObject(type, message.ptr());
    raise_current();
}

// Raise `type` with a message formatted as PyErr_Format formats it.
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);

// The AttributeError Python raises when a text method is used on a value that
// has none: "'int' object has no attribute 'strip'".
[[noreturn]] void raise_no_attribute(nb::handle obj, const char* attribute);

// A name kept for the life of the process, interned: attribute and dict
// lookups then meet the interpreter's own copy by identity, and the type
// attribute cache is not shared between two copies of one name.
inline PyObject* interned(const char* utf8) {
    PyObject* s = PyUnicode_InternFromString(utf8);
    if (!s) raise_current();
    return s;
}

// A str made at load from one of a module's UTF-8 texts, kept for the life
// of the process.
inline PyObject* kept_str(const char* utf8) {
    PyObject* s = PyUnicode_FromString(utf8);
    if (!s) raise_current();
    return s;
}

// One level of recursion over a host value: RecursionError past the
// interpreter's own limit, or past `max_nesting` levels on this thread when
// one is given, never a crash.
class NestingGuard {
public:
    explicit NestingGuard(const char* where, int max_nesting = 0) {
        if (max_nesting > 0 && depth_ >= max_nesting)
            raise_format(PyExc_RecursionError, "maximum nesting depth exceeded%s", where);
        if (Py_EnterRecursiveCall(where)) raise_current();
        ++depth_;
    }
    NestingGuard(const NestingGuard&) = delete;
    NestingGuard& operator=(const NestingGuard&) = delete;
    ~NestingGuard() {
        --depth_;
        Py_LeaveRecursiveCall();
    }

private:
    static inline thread_local int depth_ = 0;
};

// Import `module` and fetch `name` from it, at module load.
nb::object import_attr(const char* module, const char* name);

// A module's namespace read as its module-level functions read their globals:
// the current binding of a name, NameError once it is deleted. A host that
// rebinds a name (a test double, say) is heard.
class ModuleGlobals {
public:
    void bind(nb::module_& m) { dict_ = Py_NewRef(PyModule_GetDict(m.ptr())); }
    nb::object operator[](PyObject* name) const;
    // The current binding, or an invalid object while it is still `original`
    // (the caller then takes its native path directly).
    nb::object replaced(PyObject* name, PyObject* original) const {
        nb::object current = (*this)[name];
        return current.ptr() == original ? nb::object() : current;
    }

private:
    PyObject* dict_ = nullptr;  // held for the life of the process
};

// A module's tables are built once per process and then read by every thread
// without a lock, so a second initialisation (a re-import after
// `del sys.modules[...]`) is refused rather than run over them. A body that
// fails (a host module it imports raised, say) counts as never run: the next
// import runs it again from the start, raising the real error again or
// succeeding. Made first in a module's body; `done()` last.
class InitOnce {
public:
    explicit InitOnce(const char* module);
    ~InitOnce();
    InitOnce(const InitOnce&) = delete;
    InitOnce& operator=(const InitOnce&) = delete;
    void done() { done_ = true; }

private:
    bool done_ = false;
};

}  // namespace kelvo
