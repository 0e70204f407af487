// Test-only window on the shared layer, so the Python tests can hold it to
// the interpreter's own behaviour (str.strip, str.splitlines, json.dumps,
// repr, format) and exercise the record machinery.
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "common/py.hpp"
#include "common/record.hpp"
#include "common/text.hpp"
#include "common/value.hpp"

using namespace kelvo;

NB_MODULE(_probe, m) {
    m.def("trim", [](nb::str s) { return from_u32(trim(u32v(to_u32(s)))); });
    m.def("trim_str", [](nb::str s) { return trim(s); });
    m.def("split_lines", [](nb::str s) {
        u32 t = to_u32(s);
        nb::list out;
        for (u32v line : split_lines(t)) out.append(from_u32(line));
        return out;
    });
    m.def("is_space", [](nb::str s) { return is_space(to_u32(s).at(0)); });
    m.def("is_linebreak", [](nb::str s) { return is_linebreak(to_u32(s).at(0)); });
    m.def("json_text", [](nb::handle v) { return from_ascii(json_text(v)); }, nb::arg().none());
    m.def("json_string_length", [](nb::str s) { return json_string_length(to_u32(s)); });
    m.def("quoted", [](nb::str s) { return from_u32(quoted(to_u32(s))); });
    m.def("float_repr", [](double x) { return float_repr(x); });
    m.def("format_g", [](double x) { return format_g(x); });
    m.def("truthy", [](nb::handle v) { return truthy(v); }, nb::arg().none());
    m.def("str_form", [](nb::handle v) { return str_form(v); }, nb::arg().none());
    m.def("utf16_units", [](nb::str s) { return utf16_units(s); });

    make_record_type(m, RecordSpec{
        "kelvo_mcp._probe", "Point", "A record for the tests.",
        {{"x"}, {"y"}, {"label", nb::str("")}, {"tags", {}, nb::module_::import_("builtins").attr("list")}}});
}
