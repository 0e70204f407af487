// The tool surfaces: shared state of the module (tables built at load, the
// host catalogue it reads) and the entry points of each behaviour.
#pragma once

#include <string>
#include <vector>

#include "common/py.hpp"
#include "common/writer.hpp"
#include "common/text.hpp"
#include "common/value.hpp"

namespace kelvo::surfaces {

// One row of the family table.
struct Family {
    PyObject* key;          // "graph"
    PyObject* tool;         // "kelvo_graph"
    PyObject* title;
    PyObject* description;
};

// Everything built once at load. The references are owned for the life of
// the process (never released, so nothing runs after the interpreter ends).
struct Tables {
    std::vector<Family> families;
    PyObject* families_by_key = nullptr;  // private dict key -> index (int)
    PyObject* ops = nullptr;              // private dict member name -> op word
    PyObject* authoring = nullptr;        // frozenset of page-authoring tools
    PyObject* page_grammar = nullptr;
    PyObject* page_create_short = nullptr;
    PyObject* short_canvas = nullptr;
    PyObject* short_docs_canvas = nullptr;
    PyObject* grammar_summary = nullptr;
    PyObject* tools_module = nullptr;     // kelvo_mcp.tools
    PyObject* tool_input_error = nullptr; // kelvo_mcp.runtime.ToolInputError
    PyObject* copy_replace = nullptr;     // copy.replace
    PyTypeObject* surface_tool = nullptr;
    PyTypeObject* name_map = nullptr;
};

extern Tables surface_tables;

// Field indexes of SurfaceTool, in declaration order.
enum Field { NAME, TITLE, DESCRIPTION, INPUT_SCHEMA, ANNOTATIONS, MEMBERS, OPS, WRITES, N_FIELDS };
extern const char* const kFieldNames[N_FIELDS];

// Interned words used as keys, values and attribute names, made at load.
struct Words {
    PyObject *properties, *required, *description, *canvas, *type, *string, *object, *op, *enum_,
        *title, *grammar, *page_read_tool, *page_create, *doc_get, *grammar_result,
        *page_read_key, *empty, *name, *input_schema, *annotations, *writes, *docs_tool, *family,
        *is_family, *cat_tools, *cat_by_name, *cat_visible_tools, *doc_hint, *empty_map;
    PyObject* fields[N_FIELDS];
};
extern Words W;

inline nb::object attr(nb::handle o, PyObject* name) { return steal(PyObject_GetAttr(o.ptr(), name)); }

// A field of a surface tool: read from the record's slot, or as an attribute
// of any other object (so a foreign item fails the way attribute access does).
nb::object field(nb::handle st, Field f);
bool is_family(nb::handle st);

// Snapshot of a map's (key, value) pairs: a dict's own entries, or whatever
// `.items()` yields for another mapping.
std::vector<std::pair<nb::object, nb::object>> items_of(nb::handle map);

// Plain lookups that raise KeyError for a missing key, as `m[key]` does.
nb::object get_item(nb::handle map, nb::handle key);
// `m.get(key)`: an invalid object when absent.
nb::object get_opt(nb::handle map, nb::handle key);
// Attribute of the host catalogue module, read at call time.
nb::object catalogue(PyObject* name);

// Text assembly through the interpreter's own writer; `str` writes str(o),
// as an f-string does, `repr` writes repr(o).
using Writer = TextWriter;

// sep.join(items): TypeError naming the first item that is not a str.
inline nb::object join(const char* sep, nb::handle items) {
    nb::object s = steal(PyUnicode_FromString(sep));
    return steal(PyUnicode_Join(s.ptr(), items.ptr()));
}

// A new list holding the items of any iterable (a snapshot the caller owns).
inline nb::object as_list(nb::handle iterable) { return steal(PySequence_List(iterable.ptr())); }

// Deep recursion over host values ends in RecursionError, never a crash.
// The interpreter's check measures the C stack, so how deep a value may nest
// would follow the compiler's frame sizes; a fixed bound on the nesting,
// far beyond any real reply or schema, makes it the same on every build.
constexpr int kMaxNesting = 20000;

// Module set-up, one per behaviour.
void load_tables(nb::module_& m);
void bind_record(nb::module_& m);
void bind_respell(nb::module_& m);
void bind_build(nb::module_& m);
void bind_resolve(nb::module_& m);

// Name substitution and the schema walk (used by surface building).
nb::object respell_st(nb::handle st, nb::handle disp);
nb::object display_name(nb::handle surface);

}  // namespace kelvo::surfaces
