// Once per connection: ask the engine who the API key is and what it serves,
// probing the pages route when it does not say. Every doubt resolves towards
// "pages served"; only positive evidence hides the page and doc tools.
#include "capabilities/capabilities.hpp"

#include "common/record.hpp"
#include "common/text.hpp"
#include "common/value.hpp"

namespace kelvo::capabilities {

namespace {

PyObject* s_whoami = nullptr;
PyObject* s_role = nullptr;
PyObject* s_scopes = nullptr;
PyObject* s_capabilities = nullptr;
PyObject* s_lower = nullptr;

// str(v).strip(), always an exact str.
nb::object stripped_text(nb::handle v) { return trim(steal(PyObject_Str(v.ptr()))); }

// str(item).strip().lower() == "pages"
bool names_pages(nb::handle item) {
    nb::object s = stripped_text(item);
    nb::object low = steal(PyObject_CallMethodNoArgs(s.ptr(), s_lower));
    return PyUnicode_Check(low.ptr()) && PyUnicode_EqualToUTF8(low.ptr(), "pages");
}

// The key's scopes: the non-empty strings of a "scopes" list, in order. A
// value that is not a list names no scopes.
nb::object scopes_of(nb::handle ident) {
    nb::object raw = entry(ident, s_scopes);
    if (!truthy(raw) || !PyList_Check(raw.ptr())) return borrow(capability_tables.empty_tuple);
    nb::object kept = steal(PyList_New(0));
    // Index by the live size: a hostile item may change the list under us.
    nb::object item;
    for (Py_ssize_t i = 0; list_next(raw, i, item); ++i) {
        if (PyUnicode_Check(item.ptr()) && truthy(item))
            if (PyList_Append(kept.ptr(), item.ptr()) < 0) raise_current();
    }
    return steal(PyList_AsTuple(kept.ptr()));
}

// A non-empty "capabilities" list is the engine's own declaration: returns
// 1 when it names pages, 0 when it does not, -1 when there is none.
int declared_pages(nb::handle ident) {
    nb::object caps = entry(ident, s_capabilities);
    if (!PyList_Check(caps.ptr()) || !truthy(caps)) return -1;
    bool pages = false;
    // Every item is converted, as building the set of names would.
    nb::object item;
    for (Py_ssize_t i = 0; list_next(caps, i, item); ++i) {
        if (names_pages(item)) pages = true;
    }
    return pages ? 1 : 0;
}

nb::object make(PyObject* pages, PyObject* source, nb::handle role, nb::handle scopes) {
    return record_make(capability_tables.record, {pages, source, role, scopes});
}

nb::object resolve(nb::handle client) {
    PyObject* who = PyObject_CallMethodNoArgs(client.ptr(), s_whoami);
    if (!who) {
        if (!swallow_ordinary()) raise_current();
        return make(Py_True, capability_tables.source_fail_open, capability_tables.empty_str, capability_tables.empty_tuple);
    }
    nb::object ident = nb::steal(who);
    if (!truthy(ident)) ident = steal(PyDict_New());

    nb::object role = entry(ident, s_role);
    role = truthy(role) ? stripped_text(role) : borrow(capability_tables.empty_str);
    nb::object scopes = scopes_of(ident);

    int declared = declared_pages(ident);
    if (declared >= 0)
        return make(declared ? Py_True : Py_False, capability_tables.source_capabilities, role, scopes);

    nb::object probed = probe_pages_via_module(client);
    if (probed.is_none()) return make(Py_True, capability_tables.source_undecided, role, scopes);
    return make(probed.ptr(), capability_tables.source_probe, role, scopes);
}

}  // namespace

nb::object entry(nb::handle map, PyObject* key) {
    nb::object v = map_get(map, key);
    return v.is_valid() ? v : borrow(Py_None);
}

void bind_resolve(nb::module_& m) {
    s_whoami = interned("whoami");
    s_role = interned("role");
    s_scopes = interned("scopes");
    s_capabilities = interned("capabilities");
    s_lower = interned("lower");
    m.def("resolve", &resolve, nb::arg("client").none(),
          "What the engine behind client serves, from its whoami reply and, when that does not say, "
          "a probe of the pages route. Never fails on an engine error: the answer falls back to pages served.",
          nb::sig("def resolve(client: EngineClient) -> Capabilities"));
}

}  // namespace kelvo::capabilities
