// Immutable record types with value semantics, built on the C API: fields
// fixed at construction (by position or name, with defaults), read-only
// attributes, equality and hashing as a frozen dataclass, a dataclass-style
// repr, __match_args__, __replace__ (copy.replace), pickling, and cyclic-GC
// support since fields hold arbitrary Python values.
#pragma once

#include <string>
#include <vector>

#include "common/py.hpp"

namespace kelvo {

struct RecordField {
    const char* name;
    // Neither set: the field is required. `default_value` is shared by every
    // record (immutables only); `default_factory` is called for each record.
    nb::object default_value = {};
    nb::object default_factory = {};
};

struct RecordSpec {
    const char* module;  // e.g. "kelvo_mcp.refresh"
    const char* name;    // e.g. "DocInfo"
    const char* doc = nullptr;
    std::vector<RecordField> fields;
    PyMethodDef* methods = nullptr;   // extra methods, null-terminated
    PyGetSetDef* getsets = nullptr;   // extra properties, null-terminated
};

// Create the type and add it to the module under its name. The returned
// type lives as long as the module.
PyTypeObject* make_record_type(nb::module_& m, RecordSpec shape);

// Construct a record from field values in declaration order (all given).
nb::object record_make(PyTypeObject* type, std::initializer_list<nb::handle> values);
nb::object record_make(PyTypeObject* type, const std::vector<nb::object>& values);

// Field `i` of a record (borrowed; null once the collector has cleared it).
inline PyObject* record_field(PyObject* rec, size_t i) {
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(rec) + sizeof(PyObject))[i];
}
// Field `i`, held; a cleared field (the collector breaking a cycle) is the
// AttributeError reading the attribute gives.
nb::object record_get(PyObject* rec, size_t i);

}  // namespace kelvo
