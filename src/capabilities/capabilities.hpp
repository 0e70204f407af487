// The pieces of kelvo_mcp.capabilities: the Capabilities record, the page
// probe and the resolution that ties them together.
#pragma once

#include "common/py.hpp"

namespace kelvo::capabilities {

// Constants built once at load; strong references held for the life of the
// process (never released, so nothing runs after the interpreter is gone).
struct Tables {
    PyTypeObject* record = nullptr;         // Capabilities
    PyObject* needs_pages = nullptr;        // frozenset of the 22 page/doc tools
    PyObject* nothing_absent = nullptr;     // frozenset()
    PyObject* status_error = nullptr;       // httpx.HTTPStatusError
    PyObject* empty_str = nullptr;
    PyObject* empty_tuple = nullptr;
    PyObject* source_fail_open = nullptr;
    PyObject* source_capabilities = nullptr;
    PyObject* source_probe = nullptr;
    PyObject* source_undecided = nullptr;
    ModuleGlobals globals;                  // the module's namespace
};
extern Tables capability_tables;

// Field positions of Capabilities.
enum Field : size_t { kPages = 0, kSource = 1, kRole = 2, kScopes = 3 };

// An error is pending: swallow it when it is an ordinary error (the
// Exception family) and return true; otherwise (interrupts, exits, task
// cancellation) leave it set and return false.
inline bool swallow_ordinary() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

// `map.get(key)` as the host would write it: dicts are read directly, any
// other object through its own `get` (a non-map raises AttributeError).
nb::object entry(nb::handle map, PyObject* key);

void bind_record(nb::module_& m);   // Capabilities, NEEDS_PAGES
void bind_probe(nb::module_& m);    // _probe_pages, _canvas_missing
void bind_resolve(nb::module_& m);  // resolve

// Probe outcome: Py_True, Py_False or Py_None (undecided); a new reference.
nb::object probe_pages(nb::handle client);
// The same through the module's current `_probe_pages`.
nb::object probe_pages_via_module(nb::handle client);

}  // namespace kelvo::capabilities
