// Plain wording shared by the explanations: a list of possible causes, a tool
// call rendered as the agent would type it, and the not-found sentence.
#include <utility>
#include <vector>

#include "common/value.hpp"
#include "explain/explain.hpp"
#include "explain/texts.hpp"

namespace kelvo::explain {

namespace {

PyObject* g_home = nullptr;  // "home", made at load

// The truthy causes written as "possible cause: a" or "possible causes: a;
// b; or c" (nothing when none is truthy). Every cause but the last must be a
// str, as str.join requires.
void write_possible(Writer& w, nb::handle causes) {
    nb::object kept = steal(PyList_New(0));
    nb::object it = steal(PyObject_GetIter(causes.ptr()));
    Py_ssize_t seen = 0;
    while (PyObject* item = PyIter_Next(it.ptr())) {
        nb::object held = nb::steal(item);
        if (truthy(held) && PyList_Append(kept.ptr(), item) < 0) raise_current();
        // A C-level iterator never yields to the interpreter: let Ctrl-C
        // through on an endless one.
        if ((++seen & 0xFFF) == 0 && PyErr_CheckSignals() < 0) raise_current();
    }
    if (PyErr_Occurred()) raise_current();
    const Py_ssize_t n = PyList_GET_SIZE(kept.ptr());
    if (n == 0) return;
    PyObject* last = PyList_GET_ITEM(kept.ptr(), n - 1);
    if (n == 1) {
        w.utf8(kPossibleOne).plain(last);
        return;
    }
    for (Py_ssize_t i = 0; i < n - 1; ++i) {
        if (!PyUnicode_Check(PyList_GET_ITEM(kept.ptr(), i))) {
            // Worded by str.join itself, so the error is the interpreter's.
            nb::object head = steal(PyList_GetSlice(kept.ptr(), 0, n - 1));
            nb::object sep = nb::str(kCauseSep);
            steal(PyUnicode_Join(sep.ptr(), head.ptr()));
        }
    }
    w.utf8(kPossibleMany);
    for (Py_ssize_t i = 0; i < n - 1; ++i) {
        if (i) w.utf8(kCauseSep);
        w.plain(PyList_GET_ITEM(kept.ptr(), i));
    }
    w.utf8(kCauseLast).plain(last);
}

}  // namespace

void init_wording() {
    g_home = interned(kHome);
}

bool names_other_canvas(nb::handle canvas) {
    if (!truthy(canvas)) return false;
    return truthy(steal(PyObject_RichCompare(canvas.ptr(), g_home, Py_NE)));
}

nb::str possible(nb::handle causes) {
    Writer w;
    write_possible(w, causes);
    return w.finish();
}

nb::str call(nb::handle tool, nb::handle canvas, nb::handle arguments) {
    // The arguments as given, in call order; a snapshot, so a repr that
    // changes the map cannot upset the walk.
    std::vector<std::pair<nb::object, nb::object>> items;
    if (arguments.is_valid() && !arguments.is_none()) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        items.reserve(static_cast<size_t>(PyDict_GET_SIZE(arguments.ptr())));
        while (PyDict_Next(arguments.ptr(), &pos, &k, &v)) items.emplace_back(nb::borrow(k), nb::borrow(v));
    }
    const bool with_canvas = names_other_canvas(canvas);
    Writer w;
    w.plain(tool).utf8("(");
    const size_t n = items.size();
    for (size_t i = 0; i < n; ++i) {
        if (i) w.utf8(", ");
        w.plain(items[i].first).utf8("=").repr(items[i].second);
    }
    if (with_canvas) {
        if (n) w.utf8(", ");
        w.utf8("canvas=").repr(canvas);
    }
    return w.utf8(")").finish();
}

nb::str not_found(nb::handle kind, nb::handle ident, nb::handle canvas, nb::handle causes,
                  nb::handle next_call) {
    // The place is worded first, as the sentence's parts are read in order.
    const bool other = names_other_canvas(canvas);
    nb::object place = other && !PyUnicode_Check(canvas.ptr()) ? steal(PyObject_Str(canvas.ptr())) : nb::borrow(canvas);
    Writer w;
    w.utf8(kNo).plain(kind).utf8(kSpace).repr(ident).utf8(kIn);
    if (other) w.utf8(kCanvasPlace).plain(place);
    else w.utf8(kHomePlace);
    w.utf8(kSemi);
    write_possible(w, causes);
    w.utf8(kStop);
    if (truthy(next_call)) w.utf8(kNextCall).plain(next_call).utf8(kStop);
    return w.finish();
}

}  // namespace kelvo::explain
