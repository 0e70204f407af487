// Time-outs: which phase of the request ran out of time, the budget the
// client had for it, and whether a retry is safe.
#include <array>
#include <string>
#include <utility>

#include "common/value.hpp"
#include "explain/explain.hpp"
#include "explain/texts.hpp"

namespace kelvo::explain {

namespace {

enum Phase : size_t { kConnect, kWrite, kPool, kRead, kUnknown, kPhases };

// httpx's time-out kinds, in the order they are tested; kept for the module's life.
std::array<PyTypeObject*, kUnknown> g_kinds{};
std::array<PyObject*, kPhases> g_phase_names{};
// Interned names read on the error and its request.
PyObject* g_request = nullptr;
PyObject* g_extensions = nullptr;
PyObject* g_get = nullptr;
PyObject* g_timeout_key = nullptr;
PyObject* g_retrieval = nullptr;

Phase phase_of(nb::handle exc) {
    // By the error's real type, so that no object can fail the test.
    for (size_t p = 0; p < kUnknown; ++p)
        if (PyObject_TypeCheck(exc.ptr(), g_kinds[p])) return static_cast<Phase>(p);
    return kUnknown;
}

// Swallow an ordinary failure; anything else keeps propagating.
void swallow_ordinary() {
    if (!ordinary_error_pending()) raise_current();
    PyErr_Clear();
}

// `map.get(key)`: null with an error set on failure.
PyObject* get(PyObject* map, PyObject* key) { return PyObject_CallMethodOneArg(map, g_get, key); }

// budget() without the error handling: null with an error set on failure,
// None when the phase has no budget.
PyObject* read_budget(PyObject* exc, PyObject* phase) {
    nb::object request = nb::steal(PyObject_GetAttr(exc, g_request));
    if (!request.is_valid()) return nullptr;
    nb::object extensions = nb::steal(PyObject_GetAttr(request.ptr(), g_extensions));
    if (!extensions.is_valid()) return nullptr;
    nb::object budgets = nb::steal(get(extensions.ptr(), g_timeout_key));
    if (!budgets.is_valid()) return nullptr;
    const int set = PyObject_IsTrue(budgets.ptr());
    if (set < 0) return nullptr;
    if (!set) Py_RETURN_NONE;
    nb::object value = nb::steal(get(budgets.ptr(), phase));
    if (!value.is_valid()) return nullptr;
    if (value.is_none()) return value.release().ptr();
    return PyNumber_Float(value.ptr());
}

}  // namespace

void init_timeout(nb::module_& m) {
    const char* kinds[] = {"ConnectTimeout", "WriteTimeout", "PoolTimeout", "ReadTimeout"};
    for (size_t p = 0; p < kUnknown; ++p) {
        nb::object kind = import_attr("httpx", kinds[p]);
        if (!PyType_Check(kind.ptr())) raise(PyExc_ImportError, "httpx time-out kinds must be classes");
        g_kinds[p] = reinterpret_cast<PyTypeObject*>(kind.release().ptr());
    }
    for (auto [slot, name] : {std::pair{&g_request, "request"}, std::pair{&g_extensions, "extensions"},
                              std::pair{&g_get, "get"}, std::pair{&g_timeout_key, kTimeoutKey},
                              std::pair{&g_retrieval, kRetrieval}}) {
        *slot = interned(name);
    }
    nb::dict means;
    for (size_t p = 0; p < kPhases; ++p) {
        g_phase_names[p] = interned(kPhaseMeans[p].phase);
        means[nb::handle(g_phase_names[p])] = nb::str(kPhaseMeans[p].meaning);
    }
    m.attr("_PHASE_MEANS") = means;
}

nb::str timeout_phase(nb::handle exc) { return nb::borrow<nb::str>(g_phase_names[phase_of(exc)]); }

nb::object budget(nb::handle exc, nb::handle phase) {
    PyObject* b = read_budget(exc.ptr(), phase.ptr());
    if (!b) {
        swallow_ordinary();
        return nb::none();
    }
    return nb::steal(b);
}

nb::str timeout(nb::handle tool, nb::handle exc, nb::handle writes, nb::handle read_call,
                nb::handle budget_class, nb::handle budget_env) {
    const Phase phase = phase_of(exc);
    nb::object seconds = budget(exc, g_phase_names[phase]);
    const std::string figure = seconds.is_none() ? std::string() : format_g(PyFloat_AS_DOUBLE(seconds.ptr()));
    Writer w;  // after `figure`, which it views
    w.plain(tool).utf8(kTimedOutIn).text(g_phase_names[phase]).utf8(kPhaseWord);
    if (!seconds.is_none()) {
        w.utf8(kBudgetOpen).ascii(figure).utf8(kBudgetUnit);
        if (truthy(budget_env)) w.utf8(kSetBy).plain(budget_env);
        w.utf8(kClose);
    } else if (truthy(budget_env)) {
        w.utf8(kBudgetEnvOnly).plain(budget_env).utf8(kClose);
    }
    w.utf8(kColon).ascii(kPhaseMeans[phase].meaning).utf8(kStop);

    const bool reads_late = phase == kRead || phase == kUnknown;
    if (truthy(writes)) {
        if (reads_late) {
            w.utf8(kAppliedCheck);
            if (truthy(read_call)) w.utf8(kColon).plain(read_call);
            else w.utf8(kAppliedNoReadCall);
            w.utf8(kAppliedTail);
        } else if (phase == kConnect || phase == kPool) {
            w.utf8(kNothingReached);
        } else {
            w.utf8(kPartReceived);
        }
        return w.finish();
    }
    const bool is_retrieval = truthy(steal(PyObject_RichCompare(budget_class.ptr(), g_retrieval, Py_EQ)));
    if (is_retrieval && reads_late) {
        w.utf8(kRetrievalAdvice);
        if (truthy(budget_env)) w.utf8(kRetrievalRaise).plain(budget_env);
        w.utf8(kRetrievalTail);
    } else if (reads_late) {
        w.utf8(kReadNarrow);
    } else {
        w.utf8(kReadSafe);
    }
    return w.finish();
}

}  // namespace kelvo::explain
