// Surface building: the visible catalogue tools as the "full", "lean" or
// "compact" surface, the last folding each family into one tool with an op.
#include "common/record.hpp"
#include "surfaces/surfaces.hpp"

namespace kelvo::surfaces {

namespace {

// dict(m): a new map with the entries of m in order.
nb::object copy_map(nb::handle m) {
    nb::object out = steal(PyDict_New());
    if (PyDict_Merge(out.ptr(), m.ptr(), 1) < 0) raise_current();
    return out;
}

void set(nb::handle map, nb::handle key, nb::handle value) {
    if (PyDict_SetItem(map.ptr(), key.ptr(), value.ptr()) < 0) raise_current();
}

void append(nb::handle list, nb::handle item) {
    if (PyList_Append(list.ptr(), item.ptr()) < 0) raise_current();
}

// The map of a schema entry ("properties"), a new empty one when absent or empty.
nb::object member_map(nb::handle schema, nb::handle key) {
    nb::object v = get_opt(schema, key);
    if (v.is_valid() && truthy(v)) return copy_map(v);
    return steal(PyDict_New());
}

nb::object short_canvas(nb::handle schema, bool docs_tool) {
    nb::object props = member_map(schema, W.properties);  // a non-map schema: KeyError
    int has = PyDict_Contains(props.ptr(), W.canvas);
    if (has < 0) raise_current();
    if (has) {
        nb::object canvas = steal(PyDict_New());
        set(canvas, W.type, W.string);
        set(canvas, W.description, docs_tool ? surface_tables.short_docs_canvas : surface_tables.short_canvas);
        set(props, W.canvas, canvas);
    }
    nb::object out = copy_map(schema);
    set(out, W.properties, props);
    return out;
}

nb::object short_canvas_py(nb::handle schema, nb::handle docs_tool) { return short_canvas(schema, truthy(docs_tool)); }

nb::object single(nb::handle t, bool compact) {
    nb::object name = attr(t, W.name);
    nb::object title = attr(t, W.title);
    nb::object description = attr(t, W.description);
    nb::object schema = attr(t, W.input_schema);
    if (compact) schema = short_canvas(schema, truthy(attr(t, W.docs_tool)));
    nb::object annotations = attr(t, W.annotations);
    nb::object members = steal(PyTuple_Pack(1, name.ptr()));
    nb::object ops = steal(PyDict_New());
    nb::object writes = attr(t, W.writes);
    return record_make(surface_tables.surface_tool, {name, title, description, schema, annotations, members, ops, writes});
}

nb::object single_py(nb::handle t, nb::handle compact) { return single(t, truthy(compact)); }

const Family& family_of(nb::handle key) {
    nb::object index = get_item(borrow(surface_tables.families_by_key), key);
    return surface_tables.families[nb::cast<size_t>(index)];
}

nb::object family(nb::handle key, nb::handle members_in, bool grammar) {
    const Family& fam = family_of(key);
    nb::object members = as_list(members_in);
    const Py_ssize_t n = PyList_GET_SIZE(members.ptr());
    if (n == 0) raise(PyExc_IndexError, "a family needs at least one member tool");

    std::vector<nb::object> names, words;
    nb::object member_to = steal(PyDict_New());
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object name = attr(PyList_GET_ITEM(members.ptr(), i), W.name);
        nb::object op = get_item(borrow(surface_tables.ops), name);
        set(member_to, op, name);
        names.push_back(name);
        words.push_back(op);
    }

    // The family's properties: the first member to define one wins; every
    // member taking it joins its owner set.
    nb::object props = steal(PyDict_New());
    nb::object owners = steal(PyDict_New());
    nb::object required_by_op = steal(PyDict_New());
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::handle m = PyList_GET_ITEM(members.ptr(), i);
        nb::object s = short_canvas(attr(m, W.input_schema), truthy(attr(m, W.docs_tool)));
        const nb::object& op = words[static_cast<size_t>(i)];
        for (auto& [k, v] : items_of(get_item(s, W.properties))) {
            int has = PyDict_Contains(props.ptr(), k.ptr());
            if (has < 0) raise_current();
            if (!has) {
                set(props, k, copy_map(v));
                set(owners, k, steal(PySet_New(nullptr)));
            }
            if (PySet_Add(get_item(owners, k).ptr(), op.ptr()) < 0) raise_current();
        }
        nb::object req = get_opt(s, W.required);
        set(required_by_op, op, (req.is_valid() && truthy(req)) ? as_list(req) : steal(PyList_New(0)));
    }

    nb::object all_ops = steal(PySet_New(member_to.ptr()));
    for (auto& [k, p] : items_of(props)) {
        nb::object owned = get_item(owners, k);
        if (equal(owned, all_ops)) continue;
        nb::object sorted = as_list(owned);
        if (PyList_Sort(sorted.ptr()) < 0) raise_current();
        nb::object old = get_opt(p, W.description);
        Writer w;
        w.utf8("(ops: ").str(join(", ", sorted)).utf8(") ");
        if (old.is_valid() && !old.is_none()) w.str(old);
        set(p, W.description, w.finish());
    }

    nb::object enum_words = steal(PyList_New(0));
    nb::object op_lines = steal(PyList_New(0));
    for (auto& [op, name] : items_of(member_to)) {
        append(enum_words, op);
        Writer w;
        w.utf8("'").str(op).utf8("'");
        nb::object req = get_item(required_by_op, op);
        if (PyList_GET_SIZE(req.ptr()) > 0) w.utf8(" (requires ").str(join(", ", req)).utf8(")");
        append(op_lines, w.finish());
    }
    Writer op_doc;
    op_doc.utf8("which operation: ").str(join("; ", op_lines));
    if (grammar) {
        append(enum_words, W.grammar);
        op_doc.utf8("; 'grammar' (no arguments)");
    }
    nb::object op_prop = steal(PyDict_New());
    set(op_prop, W.type, W.string);
    set(op_prop, W.enum_, enum_words);
    set(op_prop, W.description, op_doc.finish());
    nb::object properties = steal(PyDict_New());
    set(properties, W.op, op_prop);
    if (PyDict_Merge(properties.ptr(), props.ptr(), 1) < 0) raise_current();
    nb::object schema = steal(PyDict_New());
    set(schema, W.type, W.object);
    set(schema, W.properties, properties);
    nb::object required = steal(PyList_New(0));
    append(required, W.op);
    set(schema, W.required, required);

    nb::object lines = steal(PyList_New(0));
    if (grammar)
        append(lines, steal(PyUnicode_Concat(fam.description, surface_tables.grammar_summary)));
    else
        append(lines, fam.description);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const nb::object& name = names[static_cast<size_t>(i)];
        const bool create = equal(name, W.page_create);
        Writer w;
        w.utf8("op='").str(words[static_cast<size_t>(i)]).utf8("': ");
        if (create)
            w.str(surface_tables.page_create_short);
        else
            w.str(attr(PyList_GET_ITEM(members.ptr(), i), W.description));
        append(lines, w.finish());
    }
    if (grammar) append(lines, steal(PyUnicode_FromString("op='grammar': returns the block grammar as text (no arguments).")));

    nb::object annotations = copy_map(attr(PyList_GET_ITEM(members.ptr(), 0), W.annotations));
    set(annotations, W.title, fam.title);
    bool writes = false;
    for (Py_ssize_t i = 0; i < n && !writes; ++i) writes = truthy(attr(PyList_GET_ITEM(members.ptr(), i), W.writes));
    nb::object member_names = steal(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        PyTuple_SET_ITEM(member_names.ptr(), i, Py_NewRef(names[static_cast<size_t>(i)].ptr()));

    return record_make(surface_tables.surface_tool, {borrow(fam.tool), borrow(fam.title), join("\n", lines), schema, annotations,
                                         member_names, member_to, writes ? Py_True : Py_False});
}

nb::object family_py(nb::handle key, nb::handle members, nb::handle grammar) {
    return family(key, members, truthy(grammar));
}

nb::object build_surface(nb::handle profile, nb::handle readonly, nb::handle absent) {
    static const char* const kProfiles[] = {"full", "lean", "compact"};
    int which = -1;
    for (int i = 0; i < 3 && which < 0; ++i) {
        nb::object p = steal(PyUnicode_FromString(kProfiles[i]));
        if (equal(profile, p)) which = i;
    }
    if (which < 0) {
        Writer w;
        w.utf8("unknown tool profile ").repr(profile).utf8("; known: ['full', 'lean', 'compact']");
        raise_obj(PyExc_KeyError, w.finish());
    }
    const bool compact = which == 2;
    nb::object frozen = steal(PyFrozenSet_New(absent.is_none() ? nullptr : absent.ptr()));
    nb::dict kwargs;
    kwargs["readonly"] = readonly;
    kwargs["profile"] = compact ? nb::object(nb::str("full")) : borrow(profile);
    kwargs["absent"] = frozen;
    nb::object no_args = steal(PyTuple_New(0));
    nb::object tools =
        as_list(steal(PyObject_Call(catalogue(W.cat_visible_tools).ptr(), no_args.ptr(), kwargs.ptr())));
    const Py_ssize_t n = PyList_GET_SIZE(tools.ptr());
    nb::object out = steal(PyList_New(0));
    if (!compact) {
        for (Py_ssize_t i = 0; i < n; ++i) append(out, single(PyList_GET_ITEM(tools.ptr(), i), false));
        return out;
    }

    bool has_grammar = false;
    for (Py_ssize_t i = 0; i < n && !has_grammar; ++i) {
        int in = PySet_Contains(surface_tables.authoring, attr(PyList_GET_ITEM(tools.ptr(), i), W.name).ptr());
        if (in < 0) raise_current();
        has_grammar = in;
    }
    nb::object seen = steal(PySet_New(nullptr));
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::handle t = PyList_GET_ITEM(tools.ptr(), i);
        nb::object fam = attr(t, W.family);
        if (fam.is_none()) {
            append(out, single(t, true));
            continue;
        }
        int was = PySet_Contains(seen.ptr(), fam.ptr());
        if (was < 0) raise_current();
        if (was) continue;
        if (PySet_Add(seen.ptr(), fam.ptr()) < 0) raise_current();
        // Every visible tool of this family, in visible order.
        nb::object members = steal(PyList_New(0));
        for (Py_ssize_t j = i; j < n; ++j) {
            nb::handle u = PyList_GET_ITEM(tools.ptr(), j);
            if (equal(attr(u, W.family), fam)) append(members, u);
        }
        const bool page_read = equal(fam, W.page_read_key);
        append(out, family(fam, members, page_read && has_grammar));
    }
    nb::object disp = display_name(out);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(out.ptr()); ++i) {
        nb::object st = respell_st(PyList_GET_ITEM(out.ptr(), i), disp);
        if (PyList_SetItem(out.ptr(), i, st.release().ptr()) < 0) raise_current();
    }
    return out;
}

}  // namespace

void bind_build(nb::module_& m) {
    m.def("build_surface", &build_surface, nb::arg("profile").none() = "full", nb::kw_only(),
          nb::arg("readonly").none() = false, nb::arg("absent").none() = nb::frozenset(),
          "The surface of one connection for a profile: a list of SurfaceTool.",
          nb::sig("def build_surface(profile: str = 'full', *, readonly: bool = False, absent: Iterable[str] = frozenset()) -> list[SurfaceTool]"));
    m.def("_single", &single_py, nb::arg("t").none(), nb::kw_only(), nb::arg("compact").none(),
          "One catalogue tool as a surface tool (compact: with the short canvas description).",
          nb::sig("def _single(t: CatalogueTool, *, compact: bool) -> SurfaceTool"));
    m.def("_family", &family_py, nb::arg("family").none(), nb::arg("members").none(), nb::kw_only(), nb::arg("grammar").none() = false,
          "One family tool folded from its member catalogue tools.",
          nb::sig("def _family(family: str, members: Sequence[CatalogueTool], *, grammar: bool = False) -> SurfaceTool"));
    m.def("_short_canvas", &short_canvas_py, nb::arg("schema").none(), nb::arg("docs_tool").none(),
          "A copy of a schema whose canvas property carries the short description.",
          nb::sig("def _short_canvas(schema: Mapping[str, Any], docs_tool: bool) -> dict[str, Any]"));
}

}  // namespace kelvo::surfaces
