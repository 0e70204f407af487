// Values: the JSON-like dynamic values the host passes in (None, bool, int,
// float, str, list, str-keyed dict). Everything here follows Python's own
// rules, since the host is Python.
#pragma once

#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "common/py.hpp"
#include "common/text.hpp"

namespace kelvo {

// Truthiness as Python's bool(): null, false, 0, "", [] and {} are falsy.
bool truthy(nb::handle v);

// a == b as `==` and `in` decide it (identity first); errors of a host's
// __eq__ pass through.
bool equal(nb::handle a, nb::handle b);

// a == b for two exact str, inline: the same code points (the canonical
// form stores each text one way).
inline bool same_text(PyObject* a, PyObject* b) {
    if (a == b) return true;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    return n == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n) * PyUnicode_KIND(a)) == 0;
}

// The string form of a Value: a str as it is, anything else as str(v)
// (errors of a hostile __str__ pass through).
nb::str str_form(nb::handle v);

// Float formatting, the interpreter's own: repr(x) and format(x, 'g').
std::string float_repr(double x);
std::string format_g(double x);

// The JSON text form: json.dumps(v, ensure_ascii=True) (one line, ", " and
// ": " separators, pure ASCII), with TypeError/ValueError/RecursionError as
// json.dumps raises them. One difference: a list or tuple subclass is
// written from its own storage, item by item as a plain one, where json.dumps
// iterates it (its __iter__ runs); the two agree unless a subclass's
// __iter__ yields something else than what it stores. A dict subclass is
// written from its items(), as json.dumps writes it.
std::string json_text(nb::handle v);
// Where the items of chosen lists end in the text, recorded as it is
// written: ends[0] just past the list's "[", ends[i + 1] just past item i.
struct JsonMarks {
    PyObject* list;
    std::vector<size_t> ends;
};
void json_append(std::string& out, nb::handle v, std::span<JsonMarks> marks = {});
// Append the JSON string literal of a str (ASCII escapes).
void json_append_string(std::string& out, nb::handle str);

// Member `key` of a map Value (a new reference), or an invalid object when
// absent or when `map` is not a dict.
nb::object get_member(nb::handle map, PyObject* key);
// `map.get(key)` of a host map, an invalid object for None: a dict read
// directly, anything else through its own get() (AttributeError without one).
nb::object map_get(nb::handle map, PyObject* key);

}  // namespace kelvo
