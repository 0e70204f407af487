// Respelling: member tool names inside texts, tool schemas and tool replies
// become the family-call form of the surface (kelvo_page_get ->
// kelvo_page_read(op='get')); user content is left alone.
#include <string_view>

#include "common/record.hpp"
#include "common/tool_names.hpp"
#include "surfaces/surfaces.hpp"

namespace kelvo::surfaces {

namespace {

// The name map display_name returns: a callable over a private dict from
// member name to display text. Respelling recognises it and reads the dict
// directly instead of calling through the interpreter.
struct NameMapObject {
    PyObject_HEAD
    PyObject* map;  // dict str -> str, never exposed
};

PyObject* name_map_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"name", nullptr};
    PyObject* name = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:name_map", const_cast<char**>(kwlist), &name)) return nullptr;
    PyObject* map = reinterpret_cast<NameMapObject*>(self)->map;
    if (!map) return Py_NewRef(name);  // cleared by the collector mid-cycle
    PyObject* r = nullptr;
    int found = PyDict_GetItemRef(map, name, &r);
    if (found < 0) return nullptr;
    return found ? r : Py_NewRef(name);
}

// The map's keys are whatever the surface's ops named, so the collector
// must be able to see through it.
int name_map_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<NameMapObject*>(self)->map);
    return 0;
}

int name_map_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<NameMapObject*>(self)->map);
    return 0;
}

void name_map_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    name_map_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* name_map_repr(PyObject* self) {
    PyObject* map = reinterpret_cast<NameMapObject*>(self)->map;
    return PyUnicode_FromFormat("<name map of %zd member tools>", map ? PyDict_GET_SIZE(map) : 0);
}

PyType_Slot kNameMapSlots[] = {
    {Py_tp_call, reinterpret_cast<void*>(name_map_call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(name_map_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(name_map_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(name_map_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(name_map_repr)},
    {Py_tp_doc, const_cast<char*>("Name map of a surface: a tool name to the text the surface offers it under.")},
    {0, nullptr},
};

PyType_Spec kNameMapSpec = {"kelvo_mcp.surfaces.NameMap", sizeof(NameMapObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
                                Py_TPFLAGS_DISALLOW_INSTANTIATION,
                            kNameMapSlots};

// The name map as the respelling functions use it.
class Disp {
public:
    explicit Disp(nb::handle fn) : fn_(fn.ptr()) {
        if (Py_IS_TYPE(fn_, surface_tables.name_map)) {
            fast_ = reinterpret_cast<NameMapObject*>(fn_)->map;
            if (!fast_) fast_ = W.empty_map;
        }
    }
    nb::object operator()(nb::handle name) const {
        if (fast_) {
            PyObject* r = nullptr;
            int found = PyDict_GetItemRef(fast_, name.ptr(), &r);
            if (found < 0) raise_current();
            return found ? nb::steal(r) : borrow(name);
        }
        return steal(PyObject_CallOneArg(fn_, name.ptr()));
    }

private:
    PyObject* fn_;
    PyObject* fast_ = nullptr;
};

nb::object substitute(nb::handle text, const Disp& disp) { return substitute_names(text, disp); }

nb::object substitute_checked(nb::handle text, const Disp& disp) {
    if (!PyUnicode_Check(text.ptr()))
        raise_format(PyExc_TypeError, "expected string or bytes-like object, got '%.200s'", Py_TYPE(text.ptr())->tp_name);
    return substitute(text, disp);
}

// A new dict of `map`'s keys, each with `each(key, value)`. `each` may run a
// name map that changes the host's dict: each pair is held while it runs,
// and the walk stops where `for key, value in map.items()` would, with its
// error: before each next pair when the size changed, and at a pair beyond
// the number the dict held at the start (keys removed and others added).
template <class F>
nb::object map_each(nb::handle map, F&& each) {
    nb::object out = steal(PyDict_New());
    const Py_ssize_t size = PyDict_GET_SIZE(map.ptr());
    Py_ssize_t pos = 0, left = size;
    nb::object key, value;
    while (dict_next(map.ptr(), pos, key, value)) {
        if (left-- == 0) raise(PyExc_RuntimeError, "dictionary keys changed during iteration");
        nb::object done = each(key, value);
        if (PyDict_SetItem(out.ptr(), key.ptr(), done.ptr()) < 0) raise_current();
        if (PyDict_GET_SIZE(map.ptr()) != size) raise(PyExc_RuntimeError, "dictionary changed size during iteration");
    }
    return out;
}

// Every "description" text at any depth of a schema is substituted; nothing
// else (enum values, property names, defaults) is touched.
nb::object schema_walk(nb::handle node, const Disp& disp) {
    if (PyDict_Check(node.ptr())) {
        NestingGuard guard(" while respelling a tool schema", kMaxNesting);
        return map_each(node, [&](nb::handle key, nb::handle value) {
            const bool text = PyUnicode_Check(key.ptr()) && PyUnicode_EqualToUTF8(key.ptr(), "description") &&
                              PyUnicode_Check(value.ptr());
            return text ? substitute(value, disp) : schema_walk(value, disp);
        });
    }
    if (PyList_Check(node.ptr())) {
        NestingGuard guard(" while respelling a tool schema", kMaxNesting);
        nb::object out = steal(PyList_New(0));
        nb::object item;
        for (Py_ssize_t i = 0; list_next(node, i, item); ++i) {
            nb::object walked = schema_walk(item, disp);
            if (PyList_Append(out.ptr(), walked.ptr()) < 0) raise_current();
        }
        return out;
    }
    return borrow(node);
}

// Reply keys, by what respell_guidance does with them.
enum KeyKind { K_OTHER, K_BODY, K_LISTED, K_CONTENT, K_GUIDANCE, K_NEXT_CALL };

struct KeyRow {
    std::string_view key;
    KeyKind kind;
};

const KeyRow kKeys[] = {
    {"body", K_BODY},          {"text", K_CONTENT},       {"blocks", K_CONTENT},     {"answer", K_CONTENT},
    {"one_liner", K_CONTENT},  {"when_to_use", K_CONTENT}, {"items", K_LISTED},      {"candidates", K_CONTENT},
    {"citations", K_CONTENT},  {"evidence", K_CONTENT},   {"nodes", K_CONTENT},      {"edges", K_CONTENT},
    {"pages", K_LISTED},       {"docs", K_LISTED},        {"pinned", K_LISTED},      {"skills", K_LISTED},
    {"note", K_GUIDANCE},      {"notes", K_GUIDANCE},     {"_notes", K_GUIDANCE},    {"warning", K_GUIDANCE},
    {"hint", K_GUIDANCE},      {"refused", K_GUIDANCE},   {"reason", K_GUIDANCE},    {"error", K_GUIDANCE},
    {"message", K_GUIDANCE},   {"detail", K_GUIDANCE},    {"recover", K_GUIDANCE},   {"next_call", K_NEXT_CALL},
};

KeyKind classify(PyObject* key) {
    if (!PyUnicode_Check(key) || !PyUnicode_IS_ASCII(key)) return K_OTHER;
    std::string_view k(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(key)),
                       static_cast<size_t>(PyUnicode_GET_LENGTH(key)));
    if (k.size() < 4 || k.size() > 11) return K_OTHER;
    for (const KeyRow& r : kKeys)
        if (r.key.size() == k.size() && r.key == k) return r.kind;
    return K_OTHER;
}

nb::object guide(nb::handle obj, const Disp& disp);

nb::object guide_list(nb::handle list, const Disp& disp, bool maps_only) {
    NestingGuard guard(" while respelling a reply", kMaxNesting);
    nb::object out = steal(PyList_New(0));
    nb::object item;
    for (Py_ssize_t i = 0; list_next(list, i, item); ++i) {
        nb::object done = (!maps_only || PyDict_Check(item.ptr())) ? guide(item, disp) : item;
        if (PyList_Append(out.ptr(), done.ptr()) < 0) raise_current();
    }
    return out;
}

// The truncation hint of a doc body names the read tool as the surface does.
nb::object body_hint(nb::handle body, const Disp& disp) {
    PyObject* hint = W.doc_hint;
    Py_ssize_t at = PyUnicode_Find(body.ptr(), hint, 0, PY_SSIZE_T_MAX, 1);
    if (at == -2) raise_current();
    if (at == -1) return borrow(body);
    nb::object shown = disp(borrow(W.doc_get));
    if (!PyUnicode_Check(shown.ptr()))  // "read " + shown + "('"
        raise_format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str", Py_TYPE(shown.ptr())->tp_name);
    Writer w;
    w.utf8("read ").text(shown).utf8("('");
    nb::object replacement = w.finish();
    return steal(PyUnicode_Replace(body.ptr(), hint, replacement.ptr(), -1));
}

nb::object guide_map(nb::handle map, const Disp& disp) {
    NestingGuard guard(" while respelling a reply", kMaxNesting);
    return map_each(map, [&](nb::handle key, nb::handle value) -> nb::object {
        const KeyKind kind = classify(key.ptr());
        const bool is_map = PyDict_Check(value.ptr()), is_list = PyList_Check(value.ptr());
        if (kind == K_BODY && PyUnicode_Check(value.ptr())) return body_hint(value, disp);
        if (kind == K_LISTED && is_list) return guide_list(value, disp, true);
        if (kind == K_BODY || kind == K_LISTED || kind == K_CONTENT) return borrow(value);
        if (kind == K_GUIDANCE && PyUnicode_Check(value.ptr())) return substitute(value, disp);
        if (kind == K_GUIDANCE && is_map)  // one level only: texts substituted, everything else kept
            return map_each(value, [&](nb::handle, nb::handle v) {
                return PyUnicode_Check(v.ptr()) ? substitute(v, disp) : borrow(v);
            });
        // A ready-made next call keeps the catalogue name it was built with.
        if (kind == K_NEXT_CALL && is_map) return borrow(value);
        if (is_map || is_list) return guide(value, disp);
        return borrow(value);
    });
}

nb::object guide(nb::handle obj, const Disp& disp) {
    if (PyUnicode_Check(obj.ptr())) return substitute(obj, disp);
    if (PyList_Check(obj.ptr())) return guide_list(obj, disp, false);
    if (PyDict_Check(obj.ptr())) return guide_map(obj, disp);
    return borrow(obj);
}

nb::object respell_text(nb::handle text, nb::handle disp) { return substitute_checked(text, Disp(disp)); }

nb::object respell_guidance(nb::handle obj, nb::handle disp) { return guide(obj, Disp(disp)); }

nb::object alias_lines(nb::handle surface) {
    nb::object lines = steal(PyList_New(0));
    nb::object tools = as_list(surface);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(tools.ptr()); ++i) {
        nb::handle st = PyList_GET_ITEM(tools.ptr(), i);
        nb::object name = field(st, NAME);
        for (auto& [op, member] : items_of(field(st, OPS))) {
            Writer w;
            w.str(member).utf8(" \xE2\x86\x92 ").str(name).utf8(" op=").str(op);
            if (PyList_Append(lines.ptr(), w.finish().ptr()) < 0) raise_current();
        }
    }
    return join("; ", lines);
}

nb::object surface_names(nb::handle surface) {
    nb::object names = steal(PySet_New(nullptr));
    nb::object tools = as_list(surface);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(tools.ptr()); ++i)
        if (PySet_Add(names.ptr(), field(PyList_GET_ITEM(tools.ptr(), i), NAME).ptr()) < 0) raise_current();
    return names;
}

}  // namespace

namespace {

// tool + "(op='" + op + "')"
nb::object family_call(PyObject* tool, PyObject* op) {
    Writer w;
    w.str(tool).utf8("(op='").str(op).utf8("')");
    return w.finish();
}

}  // namespace

nb::object display_name(nb::handle surface) {
    nb::object member_to = steal(PyDict_New());
    nb::object tools = as_list(surface);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(tools.ptr()); ++i) {
        nb::handle st = PyList_GET_ITEM(tools.ptr(), i);
        nb::object name = field(st, NAME);
        for (auto& [op, member] : items_of(field(st, OPS))) {
            if (PyDict_SetItem(member_to.ptr(), member.ptr(), family_call(name.ptr(), op.ptr()).ptr()) < 0)
                raise_current();
        }
    }
    auto* obj = PyObject_GC_New(NameMapObject, surface_tables.name_map);
    if (!obj) raise_current();
    obj->map = member_to.release().ptr();
    PyObject_GC_Track(obj);
    return nb::steal(reinterpret_cast<PyObject*>(obj));
}

nb::object respell_st(nb::handle st, nb::handle disp_fn) {
    Disp disp(disp_fn);
    nb::object description = substitute_checked(field(st, DESCRIPTION), disp);
    nb::object schema = schema_walk(field(st, INPUT_SCHEMA), disp);
    if (Py_IS_TYPE(st.ptr(), surface_tables.surface_tool)) {
        std::vector<nb::object> values;
        for (int f = 0; f < N_FIELDS; ++f) values.push_back(field(st, static_cast<Field>(f)));
        values[DESCRIPTION] = description;
        values[INPUT_SCHEMA] = schema;
        return record_make(surface_tables.surface_tool, values);
    }
    // Anything else is replaced the way the interpreter replaces it (or refuses).
    nb::object args = steal(PyTuple_Pack(1, st.ptr()));
    nb::dict kwargs;
    kwargs["description"] = description;
    kwargs["input_schema"] = schema;
    return steal(PyObject_Call(surface_tables.copy_replace, args.ptr(), kwargs.ptr()));
}

void bind_respell(nb::module_& m) {
    PyObject* type = PyType_FromSpec(&kNameMapSpec);
    if (!type) raise_current();
    surface_tables.name_map = reinterpret_cast<PyTypeObject*>(type);  // held for the life of the process

    m.def("display_name", &display_name, nb::arg("surface").none(),
          "The name map of a surface: a member tool name to its family-call form, any other name to itself.",
          nb::sig("def display_name(surface: Sequence[SurfaceTool]) -> Callable[[str], str]"));
    m.def("respell_text", &respell_text, nb::arg("text").none(), nb::arg("disp").none(),
          "Rewrite every tool name in text through the name map disp.",
          nb::sig("def respell_text(text: str, disp: Callable[[str], str]) -> str"));
    m.def("respell_guidance", &respell_guidance, nb::arg("obj").none(), nb::arg("disp").none(),
          "Rewrite tool names in the guidance parts of a tool reply, leaving user content alone.",
          nb::sig("def respell_guidance(obj: _T, disp: Callable[[str], str]) -> _T"));
    m.def("_respell", &respell_st, nb::arg("st").none(), nb::arg("disp").none(),
          "A copy of a surface tool with tool names respelled in its description and schema descriptions.",
          nb::sig("def _respell(st: SurfaceTool, disp: Callable[[str], str]) -> SurfaceTool"));
    m.def("alias_lines", &alias_lines, nb::arg("surface").none(),
          "'member \xE2\x86\x92 family op=word' for every folded member of a surface, joined with '; '.",
          nb::sig("def alias_lines(surface: Sequence[SurfaceTool]) -> str"));
    m.def("surface_names", &surface_names, nb::arg("surface").none(), "The set of tool names a surface offers.",
          nb::sig("def surface_names(surface: Sequence[SurfaceTool]) -> set[str]"));
}

}  // namespace kelvo::surfaces
