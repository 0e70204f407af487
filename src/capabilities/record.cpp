// The Capabilities record: what the engine serves, the key's role and scopes,
// the tools to hide and the one-line status banner.
#include "capabilities/capabilities.hpp"

#include "common/record.hpp"
#include "common/value.hpp"

namespace kelvo::capabilities {

Tables capability_tables;

namespace {

// The tools that need the engine's pages route.
const char* const kNeedsPages[] = {
    "kelvo_page_list",    "kelvo_page_get",     "kelvo_page_create", "kelvo_page_write",
    "kelvo_page_append",  "kelvo_page_update",  "kelvo_page_delete", "kelvo_page_insert",
    "kelvo_page_move",    "kelvo_page_rename",  "kelvo_page_meta",   "kelvo_page_restore",
    "kelvo_page_removed", "kelvo_docs_refresh", "kelvo_doc_list",    "kelvo_doc_get",
    "kelvo_doc_save",     "kelvo_doc_delete",   "kelvo_learn",       "kelvo_docs_export",
    "kelvo_page_export",  "kelvo_page_import",
};

PyObject* banner_served = nullptr;  // "pages served · via "
PyObject* banner_hidden = nullptr;  // "NO pages on this engine (page/doc tools hidden) · via "

// key: {} when there is neither a role nor scopes, else {"role", "scopes"}.
PyObject* get_key(PyObject* self, void*) {
    return slot_guard<PyObject*>(nullptr, [&]() -> PyObject* {
        nb::object role = record_get(self, kRole), scopes = record_get(self, kScopes);
        if (!truthy(role) && !truthy(scopes)) return PyDict_New();
        nb::object listed = steal(PySequence_List(scopes.ptr()));
        nb::object out = steal(PyDict_New());
        if (PyDict_SetItemString(out.ptr(), "role", role.ptr()) < 0) raise_current();
        if (PyDict_SetItemString(out.ptr(), "scopes", listed.ptr()) < 0) raise_current();
        return out.release().ptr();
    });
}

// absent: nothing when pages are served, else NEEDS_PAGES itself.
PyObject* get_absent(PyObject* self, void*) {
    return slot_guard<PyObject*>(nullptr, [&] {
        return Py_NewRef(truthy(record_get(self, kPages)) ? capability_tables.nothing_absent : capability_tables.needs_pages);
    });
}

PyObject* banner(PyObject* self, PyObject*) {
    return slot_guard<PyObject*>(nullptr, [&] {
        nb::object pages = record_get(self, kPages), source = record_get(self, kSource);
        PyObject* head = truthy(pages) ? banner_served : banner_hidden;
        // As an f-string renders the source: format(source, "").
        nb::object shown = steal(PyObject_Format(source.ptr(), capability_tables.empty_str));
        return PyUnicode_Concat(head, shown.ptr());
    });
}

PyGetSetDef getsets[] = {
    {"key", get_key, nullptr,
     "The API key's identity: {} when there is no role and no scopes, else {'role': ..., 'scopes': [...]}.", nullptr},
    {"absent", get_absent, nullptr,
     "Tool names to hide: empty when pages are served, NEEDS_PAGES otherwise.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    {"banner", banner, METH_NOARGS, "One-line status: what the engine serves and how that was found out."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void bind_record(nb::module_& m) {
    capability_tables.globals.bind(m);
    capability_tables.empty_str = kept_str("");
    capability_tables.empty_tuple = steal(PyTuple_New(0)).release().ptr();
    capability_tables.source_fail_open = kept_str("fail-open");
    capability_tables.source_capabilities = kept_str("capabilities");
    capability_tables.source_probe = kept_str("probe");
    // The probe could not tell either way, so pages stay served.
    capability_tables.source_undecided = kept_str("undecided");
    banner_served = kept_str("pages served \xc2\xb7 via ");
    banner_hidden = kept_str("NO pages on this engine (page/doc tools hidden) \xc2\xb7 via ");

    nb::object names = steal(PyList_New(0));
    for (const char* n : kNeedsPages)
        if (PyList_Append(names.ptr(), steal(PyUnicode_FromString(n)).ptr()) < 0) raise_current();
    capability_tables.needs_pages = steal(PyFrozenSet_New(names.ptr())).release().ptr();
    capability_tables.nothing_absent = steal(PyFrozenSet_New(nullptr)).release().ptr();

    RecordSpec shape{"kelvo_mcp.capabilities", "Capabilities",
                    "What the connected engine serves, and what the API key may do.",
                    {
                        {"pages", borrow(Py_True)},
                        {"source", borrow(capability_tables.source_fail_open)},
                        {"role", borrow(capability_tables.empty_str)},
                        {"scopes", borrow(capability_tables.empty_tuple)},
                    },
                    methods, getsets};
    capability_tables.record = make_record_type(m, std::move(shape));
    Py_INCREF(capability_tables.record);  // held for the life of the process
    m.attr("NEEDS_PAGES") = borrow(capability_tables.needs_pages);
}

}  // namespace kelvo::capabilities
