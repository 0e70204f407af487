// Call resolution: a call on a surface back to the catalogue tool whose
// handler runs it, or a refusal that names the right call.
#include "surfaces/surfaces.hpp"
#include "common/record.hpp"

namespace kelvo::surfaces {

namespace {

bool contains(nb::handle container, nb::handle item) {
    const int r = PyDict_CheckExact(container.ptr()) ? PyDict_Contains(container.ptr(), item.ptr())
                                                      : PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0) raise_current();
    return r != 0;
}

[[noreturn]] void refuse(Writer& w) { raise_obj(surface_tables.tool_input_error, w.finish()); }

// A new map with the entries of the arguments; null counts as empty.
nb::object args_map(nb::handle args) {
    if (PyDict_CheckExact(args.ptr())) return steal(PyDict_Copy(args.ptr()));
    nb::object out = steal(PyDict_New());
    if (args.is_none()) return out;
    const int has_keys = PyDict_Check(args.ptr()) ? 1 : PyObject_HasAttrStringWithError(args.ptr(), "keys");
    if (has_keys < 0) raise_current();  // a hostile __getattr__ passes through
    if (!has_keys)
        raise_format(PyExc_TypeError, "tool arguments must be a map or None, not '%.200s'", Py_TYPE(args.ptr())->tp_name);
    if (PyDict_Merge(out.ptr(), args.ptr(), 1) < 0) raise_current();
    return out;
}

// The op of a call: falsy values count as "", anything else as str(value),
// then trimmed of Unicode whitespace.
nb::object normalised_op(nb::handle value) {
    if (!value.is_valid() || !truthy(value)) return borrow(W.empty);
    nb::object text = steal(PyObject_Str(value.ptr()));
    return trim(text);
}

nb::object pop_op(nb::handle a) {
    PyObject* v = nullptr;
    if (PyDict_Pop(a.ptr(), W.op, &v) < 0) raise_current();
    return normalised_op(nb::steal(v));
}

nb::object pair(nb::handle name, nb::handle args) { return steal(PyTuple_Pack(2, name.ptr(), args.ptr())); }

nb::object sorted_list(nb::handle items) {
    nb::object list = as_list(items);
    if (PyList_Sort(list.ptr()) < 0) raise_current();
    return list;
}

// The names of a schema's "properties" map (none when absent or empty): the
// map itself when it is a dict, whose keys answer `in` as their set would.
nb::object property_names(nb::handle schema) {
    nb::object props = get_opt(schema, W.properties);
    if (!props.is_valid() || !truthy(props)) return steal(PySet_New(nullptr));
    return PyDict_CheckExact(props.ptr()) ? props : steal(PySet_New(props.ptr()));
}

// The first (or last) tool named `name` on a surface given as a list of
// SurfaceTools named by str, as `name` is: such a list is read in place, as
// its names compare as text and no code runs while it is read (its lock held
// on a free-threaded build). False for any other surface.
bool plain_lookup(nb::handle surface, nb::handle name, bool last, nb::object& found) {
    if (!PyList_CheckExact(surface.ptr()) || !PyUnicode_CheckExact(name.ptr())) return false;
    bool plain = true;
    PyObject* hit = nullptr;
    Py_BEGIN_CRITICAL_SECTION(surface.ptr());
    const Py_ssize_t n = PyList_GET_SIZE(surface.ptr());
    for (Py_ssize_t i = 0; i < n && plain; ++i) {
        PyObject* t = PyList_GET_ITEM(surface.ptr(), i);
        PyObject* tool_name = Py_IS_TYPE(t, surface_tables.surface_tool) ? record_field(t, NAME) : nullptr;
        plain = tool_name && PyUnicode_CheckExact(tool_name);
    }
    for (Py_ssize_t j = 0; j < n && plain && !hit; ++j) {
        PyObject* t = PyList_GET_ITEM(surface.ptr(), last ? n - 1 - j : j);
        PyObject* tool_name = record_field(t, NAME);
        if (same_text(tool_name, name.ptr())) hit = Py_NewRef(t);
    }
    Py_END_CRITICAL_SECTION();
    found = nb::steal(hit);
    return plain;
}

// {tool.name: tool for tool in tools}
nb::object name_map(nb::handle tools) {
    nb::object by = steal(PyDict_New());
    nb::object t;
    for (Py_ssize_t i = 0; list_next(tools, i, t); ++i) {
        if (PyDict_SetItem(by.ptr(), field(t, NAME).ptr(), t.ptr()) < 0) raise_current();
    }
    return by;
}

nb::object required_names(nb::handle schema) {
    nb::object req = get_opt(schema, W.required);
    if (req.is_valid() && truthy(req)) return as_list(req);
    return steal(PyList_New(0));
}

// "'get' requires page_id; 'list'": the ops of a family with the required
// arguments of each member as the catalogue gives them.
nb::object op_summary(nb::handle ops) {
    nb::object by_name = catalogue(W.cat_by_name);
    nb::object parts = steal(PyList_New(0));
    for (auto& [op, member] : items_of(ops)) {
        nb::object req = required_names(attr(get_item(by_name, member), W.input_schema));
        Writer w;
        w.utf8("'").str(op).utf8("'");
        if (PyList_GET_SIZE(req.ptr()) > 0) w.utf8(" requires ").str(join(", ", req));
        if (PyList_Append(parts.ptr(), w.finish().ptr()) < 0) raise_current();
    }
    return join("; ", parts);
}

// The catalogue's member names of a family, in catalogue order.
nb::object catalogue_members(nb::handle key) {
    nb::object out = steal(PyList_New(0));
    nb::object tools = as_list(catalogue(W.cat_tools));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(tools.ptr()); ++i) {
        nb::handle t = PyList_GET_ITEM(tools.ptr(), i);
        if (equal(attr(t, W.family), key))
            if (PyList_Append(out.ptr(), attr(t, W.name).ptr()) < 0) raise_current();
    }
    return out;
}

const Family* family_named(nb::handle name) {
    for (const Family& f : surface_tables.families)
        if (equal(f.tool, name)) return &f;
    return nullptr;
}

// A name that is not on the surface: a family whose members are all hidden
// goes to the member of its op; a folded member is refused; any other
// catalogue tool goes to its own handler.
nb::object resolve_off_surface(nb::handle by, nb::handle name, nb::handle a) {
    nb::object tool = get_opt(catalogue(W.cat_by_name), name);
    if (!tool.is_valid()) {
        if (const Family* f = family_named(name)) {
            nb::object members = catalogue_members(f->key);
            bool offered = false;
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(members.ptr()) && !offered; ++i)
                offered = contains(by, PyList_GET_ITEM(members.ptr(), i));
            if (!offered) {
                nb::object op = pop_op(a);
                if (PyList_GET_SIZE(members.ptr()) == 0) raise(PyExc_IndexError, "list index out of range");
                nb::handle pick = PyList_GET_ITEM(members.ptr(), 0);
                for (Py_ssize_t i = 0; i < PyList_GET_SIZE(members.ptr()); ++i) {
                    nb::handle m = PyList_GET_ITEM(members.ptr(), i);
                    nb::object word = get_opt(borrow(surface_tables.ops), m);
                    if (word.is_valid() && equal(word, op)) {
                        pick = m;
                        break;
                    }
                }
                return pair(pick, a);
            }
        }
        Writer w;
        w.utf8("unknown tool ").repr(name).utf8(" on this surface; valid: ").str(join(", ", sorted_list(by)));
        refuse(w);
    }
    nb::object fam = attr(tool, W.family);
    if (!fam.is_none()) {
        nb::object index = get_item(borrow(surface_tables.families_by_key), fam);
        const Family& f = surface_tables.families[nb::cast<size_t>(index)];
        if (contains(by, f.tool)) {
            nb::object op = get_item(borrow(surface_tables.ops), attr(tool, W.name));
            Writer w;
            w.str(name).utf8(" is not a tool on this surface (compact): call ").str(f.tool).utf8(" with op='").str(op).utf8("'.");
            refuse(w);
        }
    }
    return pair(name, a);
}

nb::object resolve_call(nb::handle surface, nb::handle name, nb::handle args) {
    // The tool is looked up in a map of the surface by name (built before
    // the arguments are read, so its errors come first); a surface of plain
    // names is scanned instead, which finds the same tool.
    nb::object st, by;
    const bool plain = plain_lookup(surface, name, true, st);
    if (!plain || !st.is_valid()) by = name_map(as_list(surface));
    nb::object a = args_map(args);
    if (!plain) st = get_opt(by, name);
    if (!st.is_valid()) return resolve_off_surface(by, name, a);
    if (!is_family(st)) return pair(name, a);

    nb::object op = pop_op(a);
    nb::object ops = field(st, OPS);
    // Every member is looked up before any answer, as the op summary reads
    // them all: a member the catalogue lacks is a KeyError, grammar or not.
    nb::object by_name = catalogue(W.cat_by_name);
    if (PyDict_Check(ops.ptr())) {
        nb::object members = steal(PyDict_Values(ops.ptr()));
        nb::object member;
        for (Py_ssize_t i = 0; list_next(members, i, member); ++i) get_item(by_name, member);
    } else {
        for (auto& [o, m] : items_of(ops)) get_item(by_name, m);
    }
    nb::object family_props = get_item(field(st, INPUT_SCHEMA), W.properties);
    const bool has_grammar = contains(get_item(get_item(family_props, W.op), W.enum_), W.grammar);
    if (has_grammar && equal(name, W.page_read_tool) && equal(op, W.grammar))
        return pair(W.grammar_result, steal(PyDict_New()));
    if (!contains(ops, op)) {
        Writer w;
        w.str(name).utf8(" needs op = one of ").repr(as_list(ops));
        if (has_grammar) w.utf8(" or 'grammar'");
        w.utf8(" (got ").repr(op).utf8("). Ops: ").str(op_summary(ops));
        refuse(w);
    }
    nb::object member = get_item(by_name, get_item(ops, op));
    nb::object schema = attr(member, W.input_schema);

    nb::object missing = steal(PyList_New(0));
    nb::object required = required_names(schema);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(required.ptr()); ++i) {
        nb::handle r = PyList_GET_ITEM(required.ptr(), i);
        if (!contains(a, r) && PyList_Append(missing.ptr(), r.ptr()) < 0) raise_current();
    }
    if (PyList_GET_SIZE(missing.ptr()) > 0) {
        Writer w;
        w.str(name).utf8(" op='").str(op).utf8("' requires ").str(join(", ", missing)).utf8(". Ops: ").str(op_summary(ops));
        refuse(w);
    }

    nb::object allowed = property_names(schema);
    nb::object stray = steal(PyList_New(0));
    Py_ssize_t pos = 0;
    nb::object k, v;
    while (dict_next(a.ptr(), pos, k, v))  // our own copy of the arguments
        if (!equal(k, W.canvas) && !contains(allowed, k) && !contains(family_props, k) &&
            PyList_Append(stray.ptr(), k.ptr()) < 0)
            raise_current();
    if (PyList_GET_SIZE(stray.ptr()) > 0) {
        if (PyList_Sort(stray.ptr()) < 0) raise_current();
        Writer w;
        w.str(name).utf8(" op='").str(op).utf8("' does not take ").str(join(", ", stray)).utf8(". Ops: ").str(op_summary(ops));
        refuse(w);
    }
    return pair(attr(member, W.name), a);
}

nb::object ignored_args(nb::handle surface, nb::handle name, nb::handle args) {
    nb::object a = args_map(args);
    nb::object st;
    if (!plain_lookup(surface, name, false, st)) {
        nb::object tools = as_list(surface);
        nb::object t;
        for (Py_ssize_t i = 0; !st.is_valid() && list_next(tools, i, t); ++i) {
            if (equal(field(t, NAME), name)) st = t;
        }
    }
    nb::object out = steal(PyList_New(0));
    if (!st.is_valid() || !is_family(st)) return out;
    nb::object op = normalised_op(get_opt(a, W.op));
    nb::object ops = field(st, OPS);
    if (!contains(ops, op)) return out;
    nb::object schema = attr(get_item(catalogue(W.cat_by_name), get_item(ops, op)), W.input_schema);
    nb::object allowed = property_names(schema);
    Py_ssize_t pos = 0;
    nb::object k, v;
    while (dict_next(a.ptr(), pos, k, v))  // our own copy of the arguments
        if (!equal(k, W.canvas) && !equal(k, W.op) && !contains(allowed, k) && PyList_Append(out.ptr(), k.ptr()) < 0)
            raise_current();
    if (PyList_Sort(out.ptr()) < 0) raise_current();
    return out;
}

}  // namespace

void bind_resolve(nb::module_& m) {
    m.def("resolve_call", &resolve_call, nb::arg("surface").none(), nb::arg("name").none(), nb::arg("args").none(),
          "The catalogue tool that runs a call on this surface and its arguments, as (name, args).",
          nb::sig("def resolve_call(surface: Sequence[SurfaceTool], name: str, args: Mapping[str, Any] | None) -> tuple[str, dict[str, Any]]"));
    m.def("ignored_args", &ignored_args, nb::arg("surface").none(), nb::arg("name").none(), nb::arg("args").none(),
          "The passed arguments that the chosen op of a family call does not take, sorted.",
          nb::sig("def ignored_args(surface: Sequence[SurfaceTool], name: str, args: Mapping[str, Any] | None) -> list[str]"));
}

}  // namespace kelvo::surfaces
