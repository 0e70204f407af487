#include "common/py.hpp"

namespace kelvo {

void raise_no_attribute(nb::handle obj, const char* attribute) {
    PyErr_Format(PyExc_AttributeError, "'%.200s' object has no attribute '%s'",
                 Py_TYPE(obj.ptr())->tp_name, attribute);
    raise_current();
}

nb::object import_attr(const char* module, const char* name) {
    nb::object mod = steal(PyImport_ImportModule(module));
    return steal(PyObject_GetAttrString(mod.ptr(), name));
}

nb::object ModuleGlobals::operator[](PyObject* name) const {
    PyObject* v = nullptr;
    const int found = PyDict_GetItemRef(dict_, name, &v);
    if (found < 0) raise_current();
    if (found == 0) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        raise_current();
    }
    return nb::steal(v);
}

}  // namespace kelvo
