// SurfaceTool, the immutable record of one tool as a surface offers it, and
// the small accessors every behaviour uses to read surfaces and maps.
#include "common/record.hpp"
#include "surfaces/surfaces.hpp"

namespace kelvo::surfaces {

const char* const kFieldNames[N_FIELDS] = {"name",        "title",   "description", "input_schema",
                                           "annotations", "members", "ops",         "writes"};

nb::object field(nb::handle st, Field f) {
    if (Py_IS_TYPE(st.ptr(), surface_tables.surface_tool)) return record_get(st.ptr(), f);
    return attr(st, W.fields[f]);
}

bool is_family(nb::handle st) {
    if (Py_IS_TYPE(st.ptr(), surface_tables.surface_tool)) return truthy(field(st, OPS));
    return truthy(attr(st, W.is_family));
}

std::vector<std::pair<nb::object, nb::object>> items_of(nb::handle map) {
    std::vector<std::pair<nb::object, nb::object>> out;
    if (PyDict_Check(map.ptr())) {  // its own entries, read without running any code
        out.reserve(static_cast<size_t>(PyDict_GET_SIZE(map.ptr())));
        Py_ssize_t pos = 0;
        nb::object k, v;
        while (dict_next(map.ptr(), pos, k, v)) out.emplace_back(std::move(k), std::move(v));
        return out;
    }
    nb::object items = steal(PyMapping_Items(map.ptr()));
    out.reserve(static_cast<size_t>(PyList_GET_SIZE(items.ptr())));
    nb::object item;  // held: tuple(pair) runs the pair's own __iter__, which may drop it
    for (Py_ssize_t i = 0; list_next(items, i, item); ++i) {
        nb::object pair = PyTuple_Check(item.ptr()) ? item : steal(PySequence_Tuple(item.ptr()));
        if (PyTuple_GET_SIZE(pair.ptr()) != 2)
            raise(PyExc_ValueError, "map items must be (key, value) pairs");
        out.emplace_back(borrow(PyTuple_GET_ITEM(pair.ptr(), 0)), borrow(PyTuple_GET_ITEM(pair.ptr(), 1)));
    }
    return out;
}

nb::object get_item(nb::handle map, nb::handle key) {
    if (PyDict_CheckExact(map.ptr())) {
        PyObject* r = nullptr;
        int found = PyDict_GetItemRef(map.ptr(), key.ptr(), &r);
        if (found < 0) raise_current();
        if (found == 0) raise_obj(PyExc_KeyError, key);
        return nb::steal(r);
    }
    return steal(PyObject_GetItem(map.ptr(), key.ptr()));
}

nb::object get_opt(nb::handle map, nb::handle key) {
    // A catalogue schema that is not a map at all is an inconsistency of the
    // catalogue: it surfaces as a lookup error at the point of use.
    const int has_get = PyDict_CheckExact(map.ptr()) ? 1 : PyObject_HasAttrStringWithError(map.ptr(), "get");
    if (has_get < 0) raise_current();
    if (!has_get) raise_obj(PyExc_KeyError, key);
    return map_get(map, key.ptr());
}

namespace {

PyObject* get_is_family(PyObject* self, void*) {
    return slot_guard<PyObject*>(nullptr, [&] { return PyBool_FromLong(truthy(record_get(self, OPS))); });
}

PyGetSetDef kGetsets[] = {
    {"is_family", get_is_family, nullptr, "True when this tool folds a family (its ops map is non-empty).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

void bind_record(nb::module_& m) {
    RecordSpec shape;
    shape.module = "kelvo_mcp.surfaces";
    shape.name = "SurfaceTool";
    shape.doc = "One tool exactly as a surface offers it to the agent.";
    shape.fields = {
        {"name"},
        {"title"},
        {"description"},
        {"input_schema"},
        {"annotations"},
        {"members"},
        {"ops", {}, borrow(reinterpret_cast<PyObject*>(&PyDict_Type))},
        {"writes", borrow(Py_False)},
    };
    shape.getsets = kGetsets;
    surface_tables.surface_tool = make_record_type(m, shape);
    Py_INCREF(surface_tables.surface_tool);  // held for the life of the process
}

}  // namespace kelvo::surfaces
