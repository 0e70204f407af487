// Tool names in free text, for the host (mentions) and for render (respell).
#include "instructions/instructions.hpp"

#include "common/tool_names.hpp"
#include "common/writer.hpp"

namespace kelvo::instructions {

namespace {

PyObject* tool_re = nullptr;  // the same pattern, compiled by `re`, for the host
PyObject* s_findall = nullptr;

nb::object slice(nb::handle text, Py_ssize_t b, Py_ssize_t e) { return steal(PyUnicode_Substring(text.ptr(), b, e)); }

// A text that is not a str is refused by the pattern in its own words
// (bytes, numbers, ...).
void check_text(nb::handle text) {
    if (PyUnicode_Check(text.ptr())) return;
    steal(PyObject_CallMethodOneArg(tool_re, s_findall, text.ptr()));
    raise(PyExc_TypeError, "expected string");
}

nb::object mentions(nb::handle text) {
    check_text(text);
    nb::object out = steal(PySet_New(nullptr));
    each_tool_name(text, [&](const ToolNameMatch& m) {
        if (!m.marker && PySet_Add(out.ptr(), slice(text, m.begin, m.end).ptr()) < 0) raise_current();
    });
    return out;
}

}  // namespace

nb::object respell(nb::object text, nb::handle display) {
    check_text(text);
    return substitute_names(text, [&](nb::handle name) { return steal(PyObject_CallOneArg(display.ptr(), name.ptr())); });
}

void bind_tool_names(nb::module_& m) {
    s_findall = interned("findall");
    tool_re = import_attr("re", "compile")("kelvo_[a-z_]+").release().ptr();
    m.def("mentions", &mentions, nb::arg("text").none(),
          "The set of tool names in text, leaving out marker keys that end in two underscores.",
          nb::sig("def mentions(text: str) -> set[str]"));
    m.attr("_TOOL_RE") = borrow(tool_re);
}

}  // namespace kelvo::instructions
