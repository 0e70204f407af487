#include "common/py.hpp"

#include <atomic>
#include <cstdarg>

namespace kelvo {

void raise_format(PyObject* type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    raise_current();
}

void raise_no_attribute(nb::handle obj, const char* attribute) {
    raise_format(PyExc_AttributeError, "'%.200s' object has no attribute '%s'", Py_TYPE(obj.ptr())->tp_name, attribute);
}

nb::object import_attr(const char* module, const char* name) {
    nb::object mod = steal(PyImport_ImportModule(module));
    return steal(PyObject_GetAttrString(mod.ptr(), name));
}

nb::object ModuleGlobals::operator[](PyObject* name) const {
    PyObject* v = nullptr;
    const int found = PyDict_GetItemRef(dict_, name, &v);
    if (found < 0) raise_current();
    if (found == 0) raise_format(PyExc_NameError, "name '%U' is not defined", name);
    return nb::steal(v);
}

// One per module: each shared object links its own copy of this layer.
enum : int { kNotRun, kRunning, kDone };
static std::atomic<int> g_init_state{kNotRun};

InitOnce::InitOnce(const char* module) {
    int expected = kNotRun;
    if (g_init_state.compare_exchange_strong(expected, kRunning)) return;
    if (expected == kRunning)
        PyErr_Format(PyExc_ImportError, "%s is being initialised on another thread", module);
    else
        PyErr_Format(PyExc_ImportError, "%s is already initialised in this process and cannot be initialised again",
                     module);
    raise_current();  // refused: no object, so the destructor below never runs
}

InitOnce::~InitOnce() { g_init_state.store(done_ ? kDone : kNotRun); }

}  // namespace kelvo
