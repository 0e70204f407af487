// Does the engine have a pages route? One cheap listing call decides, and
// only a clear "no such route" answer counts as no pages.
#include "capabilities/capabilities.hpp"

#include "common/value.hpp"

namespace kelvo::capabilities {

namespace {

PyObject* s_list_pages = nullptr;
PyObject* s_limit_kw = nullptr;  // ("limit",)
PyObject* s_one = nullptr;
PyObject* s_response = nullptr;
PyObject* s_status_code = nullptr;
PyObject* s_headers = nullptr;
PyObject* s_get = nullptr;
PyObject* s_json = nullptr;
PyObject* s_error_header = nullptr;  // "X-Kelvo-Error"
PyObject* s_canvas_marker = nullptr;  // "canvas_not_found"
PyObject* s_canvas_detail = nullptr;  // "canvas not found"
PyObject* s_detail = nullptr;
PyObject* s_404 = nullptr;
PyObject* s_canvas_missing_name = nullptr;
PyObject* canvas_missing_fn = nullptr;  // the module's own _canvas_missing
PyObject* s_probe_pages_name = nullptr;
PyObject* probe_pages_fn = nullptr;     // the module's own _probe_pages

// `a == b` (or `!=`) in a condition: the comparison, then its truth.
bool compares(PyObject* a, PyObject* b, int op) {
    nb::object r = steal(PyObject_RichCompare(a, b, op));
    return truthy(r);
}

// While a caught error is being handled, errors raised by the handler carry
// it as their __context__, as in an `except` block.
class Handling {
public:
    explicit Handling(PyObject* exc) : saved_(PyErr_GetHandledException()) { PyErr_SetHandledException(exc); }
    ~Handling() {
        PyErr_SetHandledException(saved_);
        Py_XDECREF(saved_);
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyObject* saved_;
};

// The detail of a JSON body names a missing canvas. Any ordinary error
// (no JSON, a body without entries) means it does not.
bool detail_says_canvas_missing(nb::handle resp) {
    try {
        nb::object data = steal(PyObject_CallMethodNoArgs(resp.ptr(), s_json));
        if (!truthy(data)) data = steal(PyDict_New());
        nb::object detail = entry(data, s_detail);
        return compares(detail.ptr(), s_canvas_detail, Py_EQ);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return false;
    }
}

// The response of a 404 tells a missing canvas rather than a missing route:
// the error header first, then the body's detail.
bool canvas_missing(nb::handle resp) {
    nb::object headers = steal(PyObject_GetAttr(resp.ptr(), s_headers));
    nb::object marker = steal(PyObject_CallMethodOneArg(headers.ptr(), s_get, s_error_header));
    if (compares(marker.ptr(), s_canvas_marker, Py_EQ)) return true;
    return detail_says_canvas_missing(resp);
}

// The listing failed with an HTTP status: any status but 404 means the route
// exists; a 404 is a missing route unless it names a missing canvas.
nb::object judge_status_error(PyObject* exc) {
    nb::object resp = steal(PyObject_GetAttr(exc, s_response));
    nb::object status = steal(PyObject_GetAttr(resp.ptr(), s_status_code));
    if (compares(status.ptr(), s_404, Py_NE)) return borrow(Py_True);
    nb::object replaced = capability_tables.globals.replaced(s_canvas_missing_name, canvas_missing_fn);
    const bool missing = replaced.is_valid() ? truthy(steal(PyObject_CallOneArg(replaced.ptr(), resp.ptr())))
                                             : canvas_missing(resp);
    return borrow(missing ? Py_None : Py_False);
}

}  // namespace

nb::object probe_pages_via_module(nb::handle client) {
    nb::object replaced = capability_tables.globals.replaced(s_probe_pages_name, probe_pages_fn);
    return replaced.is_valid() ? steal(PyObject_CallOneArg(replaced.ptr(), client.ptr())) : probe_pages(client);
}

nb::object probe_pages(nb::handle client) {
    PyObject* args[] = {client.ptr(), s_one};
    PyObject* listed = PyObject_VectorcallMethod(s_list_pages, args, 1, s_limit_kw);
    if (listed) {
        Py_DECREF(listed);
        return borrow(Py_True);
    }
    if (!PyErr_ExceptionMatches(capability_tables.status_error)) {
        if (!swallow_ordinary()) raise_current();
        return borrow(Py_None);  // transport failure, time-out, bad reply
    }
    nb::object exc = nb::steal(PyErr_GetRaisedException());
    Handling handling(exc.ptr());
    try {
        return judge_status_error(exc.ptr());
    } catch (nb::python_error& e) {
        // Reading the failed response went wrong: the probe cannot tell.
        if (!e.matches(PyExc_Exception)) throw;
        return borrow(Py_None);
    }
}

void bind_probe(nb::module_& m) {
    s_list_pages = interned("list_pages");
    s_limit_kw = steal(Py_BuildValue("(s)", "limit")).release().ptr();
    s_one = steal(PyLong_FromLong(1)).release().ptr();
    s_404 = steal(PyLong_FromLong(404)).release().ptr();
    s_response = interned("response");
    s_status_code = interned("status_code");
    s_headers = interned("headers");
    s_get = interned("get");
    s_json = interned("json");
    s_error_header = interned("X-Kelvo-Error");
    s_canvas_marker = interned("canvas_not_found");
    s_canvas_detail = interned("canvas not found");
    s_detail = interned("detail");
    capability_tables.status_error = import_attr("httpx", "HTTPStatusError").release().ptr();

    m.def("_probe_pages", &probe_pages, nb::arg("client").none(),
          "Whether the engine serves pages, from one list_pages(limit=1) call: True, False, or None when "
          "the answer is unclear.",
          nb::sig("def _probe_pages(client: EngineClient) -> bool | None"));
    m.def("_canvas_missing", [](nb::handle resp) { return canvas_missing(resp); }, nb::arg("resp").none(),
          "Whether a 404 response names a missing canvas (header X-Kelvo-Error or JSON detail).",
          nb::sig("def _canvas_missing(resp: httpx.Response) -> bool"));
    s_probe_pages_name = interned("_probe_pages");
    s_canvas_missing_name = interned("_canvas_missing");
    probe_pages_fn = nb::object(m.attr("_probe_pages")).release().ptr();
    canvas_missing_fn = nb::object(m.attr("_canvas_missing")).release().ptr();
}

}  // namespace kelvo::capabilities
