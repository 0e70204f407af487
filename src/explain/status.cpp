// HTTP status failures: the status in words, the engine's own reason when it
// gave one, and a warning when a write may have landed despite the error.
#include "common/value.hpp"
#include "explain/explain.hpp"
#include "explain/texts.hpp"

namespace kelvo::explain {

namespace {

PyObject* g_status_words = nullptr;  // _STATUS_WORDS, kept for the module's life
PyObject* g_response = nullptr;
PyObject* g_status_code = nullptr;

bool compares(nb::handle status, long code, int op) {
    nb::object c = steal(PyLong_FromLong(code));
    return truthy(steal(PyObject_RichCompare(status.ptr(), c.ptr(), op)));
}

}  // namespace

void init_status(nb::module_& m) {
    nb::dict words;
    for (const StatusWords& s : kStatusWords) words[nb::int_(s.status)] = nb::str(s.words);
    m.attr("_STATUS_WORDS") = words;
    g_status_words = words.release().ptr();
    g_response = interned("response");
    g_status_code = interned("status_code");
}

nb::str http_failure(nb::handle tool, nb::handle exc, nb::handle writes) {
    nb::object response = steal(PyObject_GetAttr(exc.ptr(), g_response));
    nb::object status = steal(PyObject_GetAttr(response.ptr(), g_status_code));
    nb::str reason = engine_reason(response);
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(g_status_words, status.ptr(), &found) < 0) raise_current();
    nb::object words = nb::steal(found);

    Writer w;
    w.plain(tool).utf8(kReturned).plain(status).utf8(kBudgetOpen);
    if (words.is_valid()) w.plain(words);
    else w.utf8(kOtherStatus);
    w.utf8(kClose);
    if (PyUnicode_GET_LENGTH(reason.ptr()) > 0) {
        w.utf8(kEngineSays).plain(reason);
    } else if (compares(status, 404, Py_EQ)) {
        nb::list causes;
        for (const char* cause : kNotFoundCauses) causes.append(nb::str(cause));
        w.utf8(kSemi).plain(possible(causes));
    }
    w.utf8(kStop);
    if (truthy(writes) && compares(status, 500, Py_GE)) w.utf8(kServerError);
    return w.finish();
}

}  // namespace kelvo::explain
