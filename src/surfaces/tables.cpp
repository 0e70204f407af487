// The family and op tables, the fixed texts, and the two texts cut from the
// catalogue's page-create description at load.
#include <string_view>

#include "surfaces/surfaces.hpp"
#include "surfaces/texts.hpp"

namespace kelvo::surfaces {

Words W;
Tables surface_tables;

namespace {

struct FamilyRow {
    const char* key;
    const char* tool;
    const char* title;
    const char* description;
};

const FamilyRow kFamilies[] = {
    {"graph", "kelvo_graph", text::title_graph, text::desc_graph},
    {"maintain", "kelvo_maintain", text::title_maintain, text::desc_maintain},
    {"page_read", "kelvo_page_read", text::title_page_read, text::desc_page_read},
    {"page_edit", "kelvo_page_edit", text::title_page_edit, text::desc_page_edit},
    {"canvas_read", "kelvo_canvas_read", text::title_canvas_read, text::desc_canvas_read},
    {"canvas_erase", "kelvo_canvas_erase", text::title_canvas_erase, text::desc_canvas_erase},
    {"docs_read", "kelvo_docs_read", text::title_docs_read, text::desc_docs_read},
};

const std::pair<const char*, const char*> kOps[] = {
    {"kelvo_neighborhood", "neighborhood"}, {"kelvo_subgraph", "subgraph"},
    {"kelvo_backlinks", "backlinks"},       {"kelvo_enrich", "enrich"},
    {"kelvo_resolve", "resolve"},           {"kelvo_page_list", "list"},
    {"kelvo_page_get", "get"},              {"kelvo_page_removed", "removed"},
    {"kelvo_page_create", "create"},        {"kelvo_page_append", "append"},
    {"kelvo_page_update", "update"},        {"kelvo_page_insert", "insert"},
    {"kelvo_page_move", "move"},            {"kelvo_page_rename", "rename"},
    {"kelvo_page_meta", "meta"},            {"kelvo_page_restore", "restore"},
    {"kelvo_canvas_list", "list"},          {"kelvo_canvas_current", "current"},
    {"kelvo_canvas_use", "use"},            {"kelvo_canvas_clear", "clear"},
    {"kelvo_canvas_delete", "delete"},      {"kelvo_docs_refresh", "refresh"},
    {"kelvo_doc_list", "list"},             {"kelvo_doc_get", "get"},
};

const char* const kAuthoring[] = {"kelvo_page_create", "kelvo_page_append", "kelvo_page_update",
                                  "kelvo_page_write", "kelvo_page_insert"};

const char* const kGuidanceKeys[] = {"note",   "notes", "_notes",  "warning", "hint",   "refused",
                                     "reason", "error", "message", "detail",  "recover"};
const char* const kContentKeys[] = {"body",       "text",      "blocks",     "answer",   "one_liner", "when_to_use",
                                    "items",      "candidates", "citations", "evidence", "nodes",     "edges",
                                    "pages",      "docs",      "pinned",     "skills"};

const char* const kGrammarMarker = "\xE2\x80\xA2 DIAGRAM";  // "• DIAGRAM"
const char* const kReturnsMarker = "Returns {page_id, title, blocks_written";

template <size_t N>
nb::object frozen(const char* const (&names)[N]) {
    nb::object set = steal(PyFrozenSet_New(nullptr));
    for (const char* n : names) {
        nb::object w = steal(PyUnicode_InternFromString(n));
        if (PySet_Add(set.ptr(), w.ptr()) < 0) raise_current();
    }
    return set;
}

Py_ssize_t find_marker(nb::handle text, const char* marker) {
    nb::object m = steal(PyUnicode_FromString(marker));
    Py_ssize_t at = PyUnicode_Find(text.ptr(), m.ptr(), 0, PY_SSIZE_T_MAX, 1);
    if (at == -2) raise_current();
    if (at == -1)
        throw nb::import_error(("kelvo_mcp.surfaces: the catalogue description of kelvo_page_create lacks the marker " +
                                std::string(marker))
                                   .c_str());
    return at;
}

nb::object rstrip(nb::handle text, Py_ssize_t begin, Py_ssize_t end) {
    nb::object part = steal(PyUnicode_Substring(text.ptr(), begin, end));
    StrView v(part);
    size_t e = v.size();
    while (e > 0 && is_space(v[e - 1])) --e;
    return steal(PyUnicode_Substring(part.ptr(), 0, static_cast<Py_ssize_t>(e)));
}

// PAGE_GRAMMAR is the grammar section of the page-create description;
// PAGE_CREATE_SHORT replaces that section by a pointer to the grammar op.
void cut_page_create() {
    nb::object by_name = import_attr("kelvo_mcp.tools", "_BY_NAME");
    nb::object tool = get_item(by_name, nb::str("kelvo_page_create"));
    nb::object d = steal(PyObject_GetAttrString(tool.ptr(), "description"));
    if (!PyUnicode_Check(d.ptr()))
        throw nb::type_error("kelvo_mcp.surfaces: the catalogue description of kelvo_page_create is not a str");
    Py_ssize_t g0 = find_marker(d, kGrammarMarker);
    Py_ssize_t g1 = find_marker(d, kReturnsMarker);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(d.ptr());
    surface_tables.page_grammar = rstrip(d, g0, g1).release().ptr();
    nb::object head = rstrip(d, 0, g0);
    nb::object pointer = steal(PyUnicode_FromFormat("\n%s\n", text::pointer));
    nb::object tail = steal(PyUnicode_Substring(d.ptr(), g1, n));
    nb::object joined = steal(PyUnicode_Concat(head.ptr(), pointer.ptr()));
    surface_tables.page_create_short = PyUnicode_Concat(joined.ptr(), tail.ptr());
    if (!surface_tables.page_create_short) raise_current();
}

}  // namespace

nb::object catalogue(PyObject* name) { return attr(surface_tables.tools_module, name); }

void load_tables(nb::module_& m) {
    surface_tables.families.clear();  // a load that failed part-way is run again from the start
    W.properties = interned("properties");
    W.required = interned("required");
    W.description = interned("description");
    W.canvas = interned("canvas");
    W.type = interned("type");
    W.string = interned("string");
    W.object = interned("object");
    W.op = interned("op");
    W.enum_ = interned("enum");
    W.title = interned("title");
    W.grammar = interned("grammar");
    W.page_read_tool = interned("kelvo_page_read");
    W.page_create = interned("kelvo_page_create");
    W.doc_get = interned("kelvo_doc_get");
    W.grammar_result = interned("__grammar__");
    W.page_read_key = interned("page_read");
    W.empty = interned("");
    W.name = interned("name");
    W.input_schema = interned("input_schema");
    W.annotations = interned("annotations");
    W.writes = interned("writes");
    W.docs_tool = interned("docs_tool");
    W.family = interned("family");
    W.is_family = interned("is_family");
    W.cat_tools = interned("TOOLS");
    W.cat_by_name = interned("_BY_NAME");
    W.cat_visible_tools = interned("visible_tools");
    W.doc_hint = interned("read kelvo_doc_get('");
    W.empty_map = steal(PyDict_New()).release().ptr();
    for (int f = 0; f < N_FIELDS; ++f) W.fields[f] = interned(kFieldNames[f]);

    surface_tables.tools_module = steal(PyImport_ImportModule("kelvo_mcp.tools")).release().ptr();
    surface_tables.tool_input_error = import_attr("kelvo_mcp.runtime", "ToolInputError").release().ptr();
    surface_tables.copy_replace = import_attr("copy", "replace").release().ptr();

    // The exported tables are the host's to read; the functions use private
    // copies, so a host that changes the exported maps changes nothing here.
    nb::dict families, by_key;
    for (const FamilyRow& r : kFamilies) {
        Family f{interned(r.key), interned(r.tool), kept_str(r.title), kept_str(r.description)};
        by_key[nb::handle(f.key)] = nb::int_(surface_tables.families.size());
        surface_tables.families.push_back(f);
        families[nb::handle(f.key)] = nb::make_tuple(nb::handle(f.tool), nb::handle(f.title), nb::handle(f.description));
    }
    surface_tables.families_by_key = by_key.release().ptr();
    nb::dict ops, ops_private;
    for (auto& [member, op] : kOps) {
        nb::object k = steal(interned(member)), v = steal(interned(op));
        ops[k] = v;
        ops_private[k] = v;
    }
    surface_tables.ops = ops_private.release().ptr();
    surface_tables.authoring = frozen(kAuthoring).release().ptr();
    surface_tables.short_canvas = kept_str(text::short_canvas);
    surface_tables.short_docs_canvas = kept_str(text::short_docs_canvas);
    surface_tables.grammar_summary = kept_str(text::grammar_summary);
    cut_page_create();

    m.attr("FAMILIES") = families;
    m.attr("OPS") = ops;
    m.attr("PAGE_CREATE_SHORT") = nb::handle(surface_tables.page_create_short);
    m.attr("PAGE_GRAMMAR") = nb::handle(surface_tables.page_grammar);
    m.attr("PROFILES") = nb::make_tuple("full", "lean", "compact");

    nb::object family_tools = steal(PyFrozenSet_New(nullptr));
    for (const Family& f : surface_tables.families)
        if (PySet_Add(family_tools.ptr(), f.tool) < 0) raise_current();
    m.attr("_FAMILY_TOOL_NAMES") = family_tools;
    m.attr("_AUTHORING") = nb::handle(surface_tables.authoring);
    m.attr("SHORT_CANVAS_DOC") = nb::handle(surface_tables.short_canvas);
    m.attr("SHORT_DOCS_CANVAS_DOC") = nb::handle(surface_tables.short_docs_canvas);
    m.attr("_GRAMMAR_SUMMARY") = nb::handle(surface_tables.grammar_summary);
    m.attr("GUIDANCE_KEYS") = frozen(kGuidanceKeys);
    m.attr("CONTENT_KEYS") = frozen(kContentKeys);
    nb::object compile = import_attr("re", "compile");
    m.attr("_NAME_RE") = compile("kelvo_[a-z_]+");
    m.attr("_TRUNC_RE") = compile("read kelvo_doc_get\\('");
}

}  // namespace kelvo::surfaces
