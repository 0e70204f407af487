// The server instructions for one connection: the paragraphs about the tools
// it shows (or the lean text), the profile's sentence swaps, tool names as
// the surface spells them, and the host's own closing paragraph.
#include "instructions/instructions.hpp"

#include "common/value.hpp"

namespace kelvo::instructions {

ModuleGlobals globals;

namespace {

PyObject* s_lean = nullptr;
PyObject* s_blank_line = nullptr;
PyObject* s_lean_name = nullptr;  // "SERVER_INSTRUCTIONS_LEAN"

nb::object render(nb::handle visible, nb::handle display, nb::handle profile, nb::handle extra,
                  nb::handle rewrites) {
    nb::object vis = steal(PySet_New(visible.ptr()));
    nb::object text = equal(profile, s_lean) ? globals[s_lean_name] : selected_text(vis);
    text = apply_rewrites(std::move(text), rewrites);
    if (!display.is_none()) text = respell(std::move(text), display);
    if (truthy(extra)) {
        text = steal(PyNumber_Add(text.ptr(), s_blank_line));
        text = steal(PyNumber_Add(text.ptr(), extra.ptr()));
    }
    return text;
}

// A prompt text, bound in the module under its own name; a text that is not
// a str keeps the module from loading.
void prompt_text(nb::module_& m, const char* name) {
    nb::object v = import_attr("kelvo_mcp.prompts", name);
    if (!PyUnicode_Check(v.ptr()))
        raise_format(PyExc_TypeError, "kelvo_mcp.prompts.%s must be a str, not %s", name, Py_TYPE(v.ptr())->tp_name);
    m.attr(name) = v;
}

}  // namespace

void load_texts(nb::module_& m) {
    globals.bind(m);
    prompt_text(m, "SERVER_INSTRUCTIONS");
    prompt_text(m, "SERVER_INSTRUCTIONS_LEAN");
}

void bind_render(nb::module_& m) {
    s_lean = interned("lean");
    s_blank_line = steal(PyUnicode_FromString("\n\n")).release().ptr();
    s_lean_name = interned("SERVER_INSTRUCTIONS_LEAN");
    m.def("render", &render, nb::arg("visible").none(), nb::kw_only(), nb::arg("display").none() = nb::none(),
          nb::arg("profile").none() = "full", nb::arg("extra").none() = "", nb::arg("rewrites").none() = nb::tuple(),
          "The server instructions for the tools in visible: the lean text when profile is 'lean', else the "
          "paragraphs about visible tools; then each (old, new) of rewrites, tool names respelled through "
          "display, and extra appended after a blank line.",
          nb::sig("def render(visible: Iterable[str], *, display: Callable[[str], str] | None = None, profile: str = 'full', extra: str = '', rewrites: Iterable[tuple[str, str]] = ()) -> str"));
}

}  // namespace kelvo::instructions
