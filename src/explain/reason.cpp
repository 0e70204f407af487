// The engine's own reason for a failure, read from the error body's "detail":
// a plain string, or the list of validation items the engine sends for bad
// arguments ({"loc": ["body", "field", ...], "msg": "..."}).
#include <utility>
#include <vector>

#include "common/value.hpp"
#include "explain/explain.hpp"
#include "explain/texts.hpp"

namespace kelvo::explain {

namespace {

constexpr Py_ssize_t kMaxItems = 3;

// Interned names, made at load.
PyObject* g_loc = nullptr;
PyObject* g_msg = nullptr;
PyObject* g_detail = nullptr;
PyObject* g_json = nullptr;
PyObject* g_lower = nullptr;

// "field.sub: message" for one validation item; the location's root ("body",
// "query") is dropped. A location that is not a list names no place: the
// item's message is all that is said.
void write_item(Writer& w, PyObject* item) {
    nb::object loc = get_member(item, g_loc);
    std::vector<nb::object> path;
    if (loc.is_valid() && (PyList_Check(loc.ptr()) || PyTuple_Check(loc.ptr()))) {
        // A tuple of the parts: a snapshot of a list that str() of a part may change.
        nb::object parts = steal(PySequence_Tuple(loc.ptr()));
        for (Py_ssize_t i = 1; i < PyTuple_GET_SIZE(parts.ptr()); ++i) path.push_back(borrow(PyTuple_GET_ITEM(parts.ptr(), i)));
    }
    // The parts in their string forms first (in order, as a join reads
    // them), written straight into the message: the joined place is empty
    // only when it is one empty part or none.
    for (nb::object& part : path)
        if (!PyUnicode_Check(part.ptr())) part = str_form(part);
    nb::object msg = get_member(item, g_msg);
    if (path.size() > 1 || (path.size() == 1 && PyUnicode_GET_LENGTH(path[0].ptr()) > 0)) {
        for (size_t i = 0; i < path.size(); ++i) {
            if (i) w.utf8(kStop);
            w.plain(path[i]);
        }
        w.utf8(kColon);
    }
    w.plain(msg.is_valid() ? msg : nb::none());
}

nb::object validation_text(PyObject* detail) {
    // The first items, held, so that nothing done while wording them can
    // change what is read.
    std::vector<nb::object> items;
    nb::object item;
    for (Py_ssize_t i = 0; i < kMaxItems && list_next(detail, i, item); ++i) items.push_back(std::move(item));
    Writer w;
    bool first = true;
    for (const nb::object& item : items) {
        if (!PyDict_Check(item.ptr())) continue;
        if (!first) w.utf8(kSemi);
        first = false;
        write_item(w, item.ptr());
    }
    return w.finish();
}

bool is_bare_not_found(nb::handle cleaned) {
    if (PyUnicode_GET_LENGTH(cleaned.ptr()) == 0) return true;
    nb::object lower = steal(PyObject_CallMethodNoArgs(cleaned.ptr(), g_lower));
    return PyUnicode_CompareWithASCIIString(lower.ptr(), kNotFound) == 0;
}

}  // namespace

void init_reason() {
    for (auto [slot, name] : {std::pair{&g_loc, kLoc}, std::pair{&g_msg, kMsg}, std::pair{&g_detail, kDetail},
                              std::pair{&g_json, "json"}, std::pair{&g_lower, "lower"}}) {
        *slot = interned(name);
    }
}

nb::str engine_reason(nb::handle response) {
    if (response.is_none()) return nb::str("");
    PyObject* parsed = PyObject_CallMethodNoArgs(response.ptr(), g_json);
    if (!parsed) {
        if (!ordinary_error_pending()) raise_current();
        PyErr_Clear();
        return nb::str("");
    }
    nb::object body = nb::steal(parsed);
    nb::object detail = get_member(body, g_detail);
    if (detail.is_valid() && PyList_Check(detail.ptr())) detail = validation_text(detail.ptr());
    nb::str cleaned = clean(detail.is_valid() ? detail : nb::none());
    if (is_bare_not_found(cleaned)) return nb::str("");
    return cleaned;
}

}  // namespace kelvo::explain
