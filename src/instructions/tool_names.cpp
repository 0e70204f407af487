// Tool names in free text, for the host (mentions) and for render (respell).
#include "instructions/instructions.hpp"

#include <memory>

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
    // Written as re.sub with a function builds its result, joining the
    // pieces: a None from `display` stands for nothing, and anything else not
    // a str is refused as str.join refuses it, once every name was shown.
    std::unique_ptr<TextWriter> w;  // made at the first name
    Py_ssize_t item = 0;  // the piece's place in that join
    nb::object refused;
    Py_ssize_t refused_at = 0;
    Py_ssize_t last = 0;
    each_tool_name(text, [&](const ToolNameMatch& m) {
        if (!w) w = std::make_unique<TextWriter>();
        if (last < m.begin) w->sub(text, last, m.begin), ++item;
        last = m.end;
        if (m.marker) {
            w->sub(text, m.begin, m.end), ++item;
            return;
        }
        nb::object shown = steal(PyObject_CallOneArg(display.ptr(), slice(text, m.begin, m.end).ptr()));
        if (shown.is_none()) return;
        if (!PyUnicode_Check(shown.ptr()) && !refused.is_valid()) refused = shown, refused_at = item;
        else if (!refused.is_valid()) w->plain(shown);
        ++item;
    });
    if (!w) return text;
    w->sub(text, last, PyUnicode_GET_LENGTH(text.ptr()));
    if (refused.is_valid()) {
        PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found", refused_at,
                     Py_TYPE(refused.ptr())->tp_name);
        raise_current();
    }
    return w->finish();
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
