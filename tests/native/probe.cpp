// Test-only window on the shared layer, so the Python tests can hold it to
// the interpreter's own behaviour (str.strip, str.splitlines, json.dumps,
// repr, format) and exercise the record machinery.
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "common/py.hpp"
#include "common/record.hpp"
#include "common/text.hpp"
#include "common/value.hpp"
#include "common/writer.hpp"

using namespace kelvo;

NB_MODULE(_probe, m) {
    m.def("trim_str", [](nb::str s) { return trim(s); });
    m.def("is_space", [](nb::str s) { return is_space(StrView(s)[0]); });
    m.def("is_linebreak", [](nb::str s) { return is_linebreak(StrView(s)[0]); });
    m.def("json_text", [](nb::handle v) { return json_text(v); }, nb::arg().none());
    m.def("float_repr", [](double x) { return float_repr(x); });
    m.def("format_g", [](double x) { return format_g(x); });
    m.def("truthy", [](nb::handle v) { return truthy(v); }, nb::arg().none());
    m.def("str_form", [](nb::handle v) { return str_form(v); }, nb::arg().none());
    // The text writer driven by (how, value) steps: "plain", "str", "repr",
    // "text" (a str kept by the caller), "ascii" (a str of ASCII, copied to
    // storage that outlives the writer) or "sub" with (s, b, e).
    m.def("write", [](nb::list steps) {
        std::vector<std::string> held;
        held.reserve(nb::len(steps));
        TextWriter w;
        for (nb::handle step : steps) {
            const std::string how = nb::cast<std::string>(step[0]);
            nb::handle v = step[1];
            if (how == "plain") w.plain(v);
            else if (how == "str") w.str(v);
            else if (how == "repr") w.repr(v);
            else if (how == "text") w.text(v.ptr());
            else if (how == "ascii") w.ascii(held.emplace_back(nb::cast<std::string>(v)));
            else if (how == "sub") w.sub(v[0], nb::cast<Py_ssize_t>(v[1]), nb::cast<Py_ssize_t>(v[2]));
            else throw nb::value_error("unknown step");
        }
        return w.finish();
    });
    m.def("utf16_units", [](nb::str s) { return utf16_units(s); });
    // A walk over a list as the modules make theirs: `step(i)` runs after
    // item i is taken and may change the list, as another thread may between
    // two steps of a walk on a free-threaded build.
    m.def("walk", [](nb::list list, nb::handle step) {
        nb::list seen;
        nb::object item;
        for (Py_ssize_t i = 0; list_next(list, i, item); ++i) {
            seen.append(item);
            step(i);
        }
        return seen;
    });

    make_record_type(m, RecordSpec{
        "kelvo_mcp._probe", "Point", "A record for the tests.",
        {{"x"}, {"y"}, {"label", nb::str("")}, {"tags", {}, nb::module_::import_("builtins").attr("list")}}});
}
