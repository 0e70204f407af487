// Plain wording shared by the explanations: a list of possible causes, a tool
// call rendered as the agent would type it, and the not-found sentence.
#include "common/value.hpp"
#include "explain/explain.hpp"
#include "explain/texts.hpp"

namespace kelvo::explain {

bool names_other_canvas(nb::handle canvas) {
    if (!truthy(canvas)) return false;
    nb::object home = nb::str(kHome);
    nb::object differs = steal(PyObject_RichCompare(canvas.ptr(), home.ptr(), Py_NE));
    return truthy(differs);
}

nb::str possible(nb::handle causes) {
    nb::object it = steal(PyObject_GetIter(causes.ptr()));
    nb::object kept = steal(PyList_New(0));
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
    if (n == 0) return nb::str("");
    Writer w;
    if (n == 1) return w.utf8(kPossibleOne).plain(PyList_GET_ITEM(kept.ptr(), 0)).finish();
    nb::object head = steal(PyList_GetSlice(kept.ptr(), 0, n - 1));
    nb::object sep = nb::str(kCauseSep);
    nb::object joined = steal(PyUnicode_Join(sep.ptr(), head.ptr()));
    return w.utf8(kPossibleMany).plain(joined).utf8(kCauseLast).plain(PyList_GET_ITEM(kept.ptr(), n - 1)).finish();
}

nb::str call(nb::handle tool, nb::handle canvas, nb::handle arguments) {
    // The arguments as given, in call order; a snapshot, so a repr that
    // changes the map cannot upset the walk.
    nb::object items = arguments.is_valid() && !arguments.is_none()
                           ? steal(PyDict_Items(arguments.ptr()))
                           : steal(PyList_New(0));
    const bool with_canvas = names_other_canvas(canvas);
    Writer w;
    w.plain(tool).utf8("(");
    const Py_ssize_t n = PyList_GET_SIZE(items.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* pair = PyList_GET_ITEM(items.ptr(), i);
        if (i) w.utf8(", ");
        w.plain(PyTuple_GET_ITEM(pair, 0)).utf8("=").repr(PyTuple_GET_ITEM(pair, 1));
    }
    if (with_canvas) {
        if (n) w.utf8(", ");
        w.utf8("canvas=").repr(canvas);
    }
    return w.utf8(")").finish();
}

nb::str not_found(nb::handle kind, nb::handle ident, nb::handle canvas, nb::handle causes,
                  nb::handle next_call) {
    Writer place;
    if (names_other_canvas(canvas)) place.utf8(kCanvasPlace).plain(canvas);
    else place.utf8(kHomePlace);
    nb::str where = place.finish();
    Writer w;
    w.utf8(kNo).plain(kind).utf8(kSpace).repr(ident).utf8(kIn).plain(where).utf8(kSemi);
    w.plain(possible(causes)).utf8(kStop);
    if (truthy(next_call)) w.utf8(kNextCall).plain(next_call).utf8(kStop);
    return w.finish();
}

}  // namespace kelvo::explain
