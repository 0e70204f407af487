// RefreshState: when the host should rebuild the standing-docs digest. Due on
// the first call, then after `calls` calls or `seconds` seconds, whichever
// comes first; one rebuild at a time; a failed rebuild is retried after a
// short delay instead of a full interval.
//
// Each instance holds one PyMutex for the whole of tick, fired and failed, so
// the read-and-mark in tick is atomic; __init__ and the getters take it too,
// so a clock is never replaced while a tick on another thread calls it. The
// clock may be Python code that lets other threads run while the lock is
// held: a thread that blocks on the PyMutex detaches from the interpreter
// while it waits, so the clock's thread can always get the GIL back.
#include <atomic>
#include <climits>
#include <utility>

#include "common/py.hpp"
#include "refresh/bindings.hpp"
#include "refresh/registry.hpp"

namespace kelvo::refresh {

namespace {

struct State {
    PyObject_HEAD
    PyObject* calls_obj;  // the public `calls`, an int of at least 1
    PyObject* clock;
    long long calls;      // `calls`, saturated to what a counter can reach
    double seconds;
    PyMutex lock;
    std::atomic<unsigned long> owner;  // thread holding `lock`, 0 when free
    long long count;
    double last;
    bool has_last;
    bool building;
};

PyObject* g_monotonic = nullptr;  // time.monotonic, read directly when it is the clock

// Holds the instance's lock for one operation. The lock is not re-entrant;
// a clock that calls back into the same instance is refused with an error
// instead of waiting on itself forever.
class Held {
public:
    explicit Held(State* s) : s_(s) {
        const unsigned long me = PyThread_get_thread_ident();
        if (s->owner.load(std::memory_order_relaxed) == me)
            raise(PyExc_RuntimeError, "RefreshState is not re-entrant: its clock called back into the same instance");
        PyMutex_Lock(&s->lock);
        s->owner.store(me, std::memory_order_relaxed);
    }
    ~Held() {
        s_->owner.store(0, std::memory_order_relaxed);
        PyMutex_Unlock(&s_->lock);
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

private:
    State* s_;
};

double read_clock(State* s) {
    if (!s->clock) raise(PyExc_RuntimeError, "RefreshState has no clock");
    if (s->clock == g_monotonic) {
        PyTime_t t;
        if (PyTime_Monotonic(&t) < 0) raise_current();
        return PyTime_AsSecondsDouble(t);
    }
    nb::object clock = nb::borrow(s->clock);  // kept alive while it runs
    nb::object reading = steal(PyObject_CallNoArgs(clock.ptr()));
    const double v = PyFloat_AsDouble(reading.ptr());
    if (v == -1.0 && PyErr_Occurred()) raise_current();
    return v;
}

void set_defaults(State* s) {
    Py_XSETREF(s->calls_obj, PyLong_FromLong(kDefaultRefreshCalls));
    Py_XSETREF(s->clock, Py_NewRef(g_monotonic));
    s->calls = kDefaultRefreshCalls;
    s->seconds = kDefaultRefreshMinutes * 60.0;
    s->count = 0;
    s->last = 0.0;
    s->has_last = false;
    s->building = false;
}

PyObject* state_new(PyTypeObject* type, PyObject*, PyObject*) {
    auto* s = reinterpret_cast<State*>(type->tp_alloc(type, 0));
    if (!s) return nullptr;
    set_defaults(s);
    if (!s->calls_obj) {
        Py_DECREF(s);
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(s);
}

const char* kInitKeywords[] = {"calls", "minutes", "clock", nullptr};
const char* kFailedKeywords[] = {"retry_seconds", nullptr};

int state_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject *calls = nullptr, *minutes = nullptr, *clock = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOO:RefreshState", const_cast<char**>(kInitKeywords), &calls,
                                     &minutes, &clock))
        return -1;
    return slot_guard(-1, [&] {
        auto* s = reinterpret_cast<State*>(self);
        // The arguments are read (which may run their own code) before the
        // lock is taken.
        nb::object n = calls ? steal(PyNumber_Long(calls)) : nb::int_(kDefaultRefreshCalls);
        const double m = minutes ? PyFloat_AsDouble(nb::object(steal(PyNumber_Float(minutes))).ptr())
                                 : kDefaultRefreshMinutes;
        int overflow = 0;
        long long c = PyLong_AsLongLongAndOverflow(n.ptr(), &overflow);
        if (c == -1 && PyErr_Occurred()) raise_current();
        if (overflow > 0) c = LLONG_MAX;
        if (overflow < 0 || c < 1) {
            c = 1;
            n = nb::int_(1);
        }
        const double seconds = m * 60.0;
        // A tick on another thread may be calling the old clock: it is
        // replaced under the lock, and let go of after it.
        nb::object new_clock = nb::borrow(clock ? clock : g_monotonic);
        PyObject *old_calls, *old_clock;
        {
            Held held(s);
            s->calls = c;
            old_calls = std::exchange(s->calls_obj, n.release().ptr());
            s->seconds = seconds > 1.0 ? seconds : 1.0;  // NaN included
            old_clock = std::exchange(s->clock, new_clock.release().ptr());
            s->count = 0;
            s->has_last = false;
            s->building = false;
        }
        Py_XDECREF(old_calls);
        Py_XDECREF(old_clock);
        return 0;
    });
}

PyObject* state_tick(PyObject* self, PyObject*) {
    return slot_guard<PyObject*>(nullptr, [&]() -> PyObject* {
        auto* s = reinterpret_cast<State*>(self);
        Held held(s);
        if (s->count < LLONG_MAX) ++s->count;
        if (s->building) Py_RETURN_FALSE;
        const bool due = !s->has_last || s->count >= s->calls || read_clock(s) - s->last >= s->seconds;
        if (due) s->building = true;
        return Py_NewRef(due ? Py_True : Py_False);
    });
}

PyObject* state_fired(PyObject* self, PyObject*) {
    return slot_guard<PyObject*>(nullptr, [&]() -> PyObject* {
        auto* s = reinterpret_cast<State*>(self);
        Held held(s);
        s->count = 0;
        s->last = read_clock(s);
        s->has_last = true;
        s->building = false;
        Py_RETURN_NONE;
    });
}

PyObject* state_failed(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* retry = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:failed", const_cast<char**>(kFailedKeywords), &retry))
        return nullptr;
    return slot_guard<PyObject*>(nullptr, [&]() -> PyObject* {
        auto* s = reinterpret_cast<State*>(self);
        // The argument is read (which may run its own code, even code
        // that uses this instance) before the lock is taken, as __init__
        // reads its own.
        double delay = kRetrySeconds;
        if (retry) {
            delay = PyFloat_AsDouble(retry);
            if (delay == -1.0 && PyErr_Occurred()) raise_current();
        }
        Held held(s);
        s->count = 0;
        const double now = read_clock(s);
        // At least a second, whatever was asked (not-a-number included).
        s->last = now - s->seconds + (delay > 1.0 ? delay : 1.0);
        s->has_last = true;
        s->building = false;
        Py_RETURN_NONE;
    });
}

int state_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* s = reinterpret_cast<State*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(s->clock);
    Py_VISIT(s->calls_obj);
    return 0;
}

int state_clear(PyObject* self) {
    auto* s = reinterpret_cast<State*>(self);
    Py_CLEAR(s->clock);
    Py_CLEAR(s->calls_obj);
    return 0;
}

void state_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    PyObject_ClearWeakRefs(self);
    state_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// The getters read under the instance's lock, like every other access.
template <class F>
PyObject* locked_read(PyObject* self, F&& read) {
    return slot_guard<PyObject*>(nullptr, [&]() -> PyObject* {
        Held held(reinterpret_cast<State*>(self));
        return read(reinterpret_cast<State*>(self));
    });
}

PyObject* get_calls(PyObject* self, void*) {
    return locked_read(self, [](State* s) { return s->calls_obj ? Py_NewRef(s->calls_obj) : PyLong_FromLong(1); });
}
PyObject* get_seconds(PyObject* self, void*) {
    return locked_read(self, [](State* s) { return PyFloat_FromDouble(s->seconds); });
}
PyObject* get_clock(PyObject* self, void*) {
    return locked_read(self, [](State* s) { return Py_NewRef(s->clock ? s->clock : Py_None); });
}
PyObject* get_count(PyObject* self, void*) {
    return locked_read(self, [](State* s) { return PyLong_FromLongLong(s->count); });
}
PyObject* get_last(PyObject* self, void*) {
    return locked_read(self, [](State* s) { return s->has_last ? PyFloat_FromDouble(s->last) : Py_NewRef(Py_None); });
}
PyObject* get_building(PyObject* self, void*) {
    return locked_read(self, [](State* s) { return PyBool_FromLong(s->building); });
}

PyMethodDef kMethods[] = {
    {"tick", state_tick, METH_NOARGS,
     "tick($self, /)\n--\n\nCount a call; True when a rebuild is due now (and is then under way)."},
    {"fired", state_fired, METH_NOARGS, "fired($self, /)\n--\n\nThe rebuild succeeded."},
    {"failed", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(state_failed)), METH_VARARGS | METH_KEYWORDS,
     "failed($self, /, retry_seconds=60.0)\n--\n\n"
     "The rebuild failed; it is due again after retry_seconds (at least 1)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSets[] = {
    {"calls", get_calls, nullptr, "A rebuild is due once this many ticks were counted since the last one ended.",
     nullptr},
    {"seconds", get_seconds, nullptr, "A rebuild is due once this many seconds passed since the last one ended.",
     nullptr},
    {"_clock", get_clock, nullptr, nullptr, nullptr},
    {"_count", get_count, nullptr, nullptr, nullptr},
    {"_last", get_last, nullptr, nullptr, nullptr},
    {"_building", get_building, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "RefreshState(calls=12, minutes=10.0, clock=...)\n--\n\n"
                    "When to rebuild the digest: on the first call, then every `calls` calls or `minutes` "
                    "minutes, one rebuild at a time. Thread-safe.")},
    {Py_tp_new, reinterpret_cast<void*>(state_new)},
    {Py_tp_init, reinterpret_cast<void*>(state_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(state_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(state_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(state_clear)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSets},
    {0, nullptr},
};

PyType_Spec kStateSpec = {"kelvo_mcp.refresh.RefreshState", static_cast<int>(sizeof(State)), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_WEAKREF,
                          kSlots};

}  // namespace

void bind_timer(nb::module_& m) {
    g_monotonic = import_attr("time", "monotonic").release().ptr();
    m.attr("DEFAULT_REFRESH_CALLS") = nb::int_(kDefaultRefreshCalls);
    m.attr("DEFAULT_REFRESH_MINUTES") = nb::float_(kDefaultRefreshMinutes);
    m.attr("RETRY_SECONDS") = nb::float_(kRetrySeconds);

    m.attr("RefreshState") = steal(PyType_FromModuleAndSpec(m.ptr(), &kStateSpec, nullptr));
}

}  // namespace kelvo::refresh
