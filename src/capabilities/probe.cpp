// Does the engine have a pages route? One cheap listing call decides, and
// only a clear "no such route" answer counts as no pages.
#include "capabilities/capabilities.hpp"

#include <string_view>

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
PyObject* s_list = nullptr;            // "_list"
PyObject* s_encoding = nullptr;        // "_encoding"
PyObject* s_picked_encodings[3] = {};   // the encodings httpx picks by itself
PyTypeObject* headers_type = nullptr;  // httpx.Headers
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

// o.name, or an invalid object when o has no such attribute.
nb::object optional_attr(PyObject* o, PyObject* name) {
    PyObject* v = nullptr;
    if (PyObject_GetOptionalAttr(o, name, &v) < 0) raise_current();
    return nb::steal(v);
}

// `headers.get("X-Kelvo-Error") == "canvas_not_found"` read straight from
// httpx's own Headers: 1 or 0, or -1 when only its own get can tell (another
// headers type, an encoding set by the caller, a header value beyond ASCII).
// get joins the values of every header of the name with ", " and decodes
// them; with an ASCII value and any encoding httpx picks by itself, that
// equals the marker exactly when there is one such header holding its bytes.
int marker_in_headers(PyObject* headers) {
    static constexpr std::string_view kKey = "x-kelvo-error", kMarker = "canvas_not_found";
    if (Py_TYPE(headers) != headers_type) return -1;
    nb::object encoding = optional_attr(headers, s_encoding);
    if (!encoding.is_valid()) return -1;
    if (!encoding.is_none()) {
        if (!PyUnicode_CheckExact(encoding.ptr())) return -1;
        bool picked = false;
        for (PyObject* e : s_picked_encodings) picked = picked || PyUnicode_Equal(encoding.ptr(), e) == 1;
        if (!picked) return -1;
    }
    nb::object list = optional_attr(headers, s_list);
    if (!list.is_valid() || !PyList_CheckExact(list.ptr())) return -1;
    auto bytes = [](PyObject* b) { return std::string_view(PyBytes_AS_STRING(b), static_cast<size_t>(PyBytes_GET_SIZE(b))); };
    Py_ssize_t found = 0;
    bool marker = false;
    // Reading tuples of bytes runs no code: the list cannot change meanwhile.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) {
        PyObject* item = PyList_GET_ITEM(list.ptr(), i);
        if (!PyTuple_CheckExact(item) || PyTuple_GET_SIZE(item) != 3) return -1;
        PyObject* key = PyTuple_GET_ITEM(item, 1);
        PyObject* value = PyTuple_GET_ITEM(item, 2);
        if (!PyBytes_CheckExact(key) || !PyBytes_CheckExact(value)) return -1;
        if (bytes(key) != kKey) continue;
        for (char c : bytes(value))
            if (static_cast<unsigned char>(c) >= 0x80) return -1;
        ++found;
        marker = bytes(value) == kMarker;
    }
    return found == 1 && marker;
}

// The response of a 404 tells a missing canvas rather than a missing route:
// the error header first, then the body's detail.
bool canvas_missing(nb::handle resp) {
    nb::object headers = steal(PyObject_GetAttr(resp.ptr(), s_headers));
    const int fast = marker_in_headers(headers.ptr());
    if (fast >= 0) return fast || detail_says_canvas_missing(resp);
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
    nb::object replaced = rebound(s_canvas_missing_name, canvas_missing_fn);
    const bool missing = replaced.is_valid() ? truthy(steal(PyObject_CallOneArg(replaced.ptr(), resp.ptr())))
                                             : canvas_missing(resp);
    return borrow(missing ? Py_None : Py_False);
}

}  // namespace

nb::object probe_pages_via_module(nb::handle client) {
    nb::object replaced = rebound(s_probe_pages_name, probe_pages_fn);
    return replaced.is_valid() ? steal(PyObject_CallOneArg(replaced.ptr(), client.ptr())) : probe_pages(client);
}

nb::object probe_pages(nb::handle client) {
    PyObject* args[] = {client.ptr(), s_one};
    PyObject* listed = PyObject_VectorcallMethod(s_list_pages, args, 1, s_limit_kw);
    if (listed) {
        Py_DECREF(listed);
        return borrow(Py_True);
    }
    if (!PyErr_ExceptionMatches(T.status_error)) {
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
    T.status_error = import_attr("httpx", "HTTPStatusError").release().ptr();
    nb::object headers = import_attr("httpx", "Headers");
    if (!PyType_Check(headers.ptr())) raise(PyExc_ImportError, "httpx.Headers must be a class");
    headers_type = reinterpret_cast<PyTypeObject*>(headers.release().ptr());
    s_list = interned("_list");
    s_encoding = interned("_encoding");
    s_picked_encodings[0] = interned("ascii");
    s_picked_encodings[1] = interned("utf-8");
    s_picked_encodings[2] = interned("iso-8859-1");

    m.def("_probe_pages", &probe_pages, nb::arg("client").none(),
          "Whether the engine serves pages, from one list_pages(limit=1) call: True, False, or None when "
          "the answer is unclear.");
    m.def("_canvas_missing", [](nb::handle resp) { return canvas_missing(resp); }, nb::arg("resp").none(),
          "Whether a 404 response names a missing canvas (header X-Kelvo-Error or JSON detail).");
    s_probe_pages_name = interned("_probe_pages");
    s_canvas_missing_name = interned("_canvas_missing");
    probe_pages_fn = nb::object(m.attr("_probe_pages")).release().ptr();
    canvas_missing_fn = nb::object(m.attr("_canvas_missing")).release().ptr();
    watch_hooks(s_probe_pages_name, s_canvas_missing_name);
}

}  // namespace kelvo::capabilities
