"""The refresh timer: when a rebuild is due, its clamping rules, the clock's
errors, and the lock held across the clock under many threads."""

import gc
import threading
import time
import weakref

import pytest
from hypothesis import given, settings, strategies as st

from kelvo_mcp import refresh as r


class Clock:
    """A clock that reads what the test sets."""

    def __init__(self, now=1000.0):
        self.now = now
        self.reads = 0

    def __call__(self):
        self.reads += 1
        return self.now


# --- the rules ---------------------------------------------------------------

def test_constants_and_defaults():
    assert (r.DEFAULT_REFRESH_CALLS, r.DEFAULT_REFRESH_MINUTES, r.RETRY_SECONDS) == (12, 10.0, 60.0)
    s = r.RefreshState()
    assert (s.calls, s.seconds, s._clock) == (12, 600.0, time.monotonic)
    assert (s._count, s._last, s._building) == (0, None, False)
    assert s.tick() is True and s.tick() is False


def test_first_tick_is_due_whatever_the_settings():
    clock = Clock()
    s = r.RefreshState(10**6, 10**6, clock)
    assert s.tick() is True
    assert clock.reads == 0  # due without reading the clock
    assert s.tick() is False


def test_calls_term_after_fired():
    clock = Clock()
    s = r.RefreshState(calls=12, minutes=10, clock=clock)
    assert s.tick()
    s.fired()
    assert [s.tick() for _ in range(11)] == [False] * 11
    assert s.tick() is True


def test_time_term_after_fired():
    clock = Clock(1000.0)
    s = r.RefreshState(12, 10, clock)
    s.tick()
    s.fired()
    clock.now = 1599.9
    assert s.tick() is False
    clock.now = 1600.0
    assert s.tick() is True


def test_failed_retries_after_the_delay():
    clock = Clock(1000.0)
    s = r.RefreshState(12, 10, clock)
    s.tick()
    s.failed()
    assert s._count == 0 and s._building is False
    clock.now = 1059.9
    assert s.tick() is False
    clock.now = 1060.0
    assert s.tick() is True
    s.failed(0)
    clock.now = 1060.9
    assert s.tick() is False
    clock.now = 1061.0
    assert s.tick() is True
    s.failed(retry_seconds=float("nan"))  # at least a second, as for anything below it
    clock.now = 1062.0
    assert s.tick() is True
    s.failed(retry_seconds=5)
    clock.now = 1066.9
    assert s.tick() is False


def test_ticks_during_a_rebuild_still_count():
    clock = Clock()
    s = r.RefreshState(3, 10, clock)
    s.tick()
    s.fired()
    assert s.tick() is False and s.tick() is False
    assert s.tick() is True          # third call since fired
    assert [s.tick() for _ in range(5)] == [False] * 5
    assert s._count == 8 and s._building is True
    s.fired()
    assert s._count == 0 and s._building is False and s._last == 1000.0


@pytest.mark.parametrize("calls, expected", [(0, 1), (-5, 1), (1, 1), (12.7, 12), (-0.5, 1), ("7", 7), (True, 1),
                                             (10**30, 10**30)])
def test_calls_clamping(calls, expected):
    assert r.RefreshState(calls).calls == expected


@pytest.mark.parametrize("minutes, expected", [(0, 1.0), (0.5, 30.0), (-3, 1.0), (float("nan"), 1.0),
                                               (1 / 60, 1.0), ("2", 120.0), (float("inf"), float("inf"))])
def test_minutes_clamping(minutes, expected):
    assert r.RefreshState(minutes=minutes).seconds == expected


def test_calls_below_one_make_every_free_tick_due():
    clock = Clock()
    s = r.RefreshState(0, 10, clock)
    for _ in range(3):
        assert s.tick() is True
        assert s.tick() is False
        s.fired()


@settings(max_examples=60, deadline=None)
@given(st.lists(st.sampled_from(["tick", "fired", "failed", "wait"]), max_size=60), st.integers(-2, 6))
def test_matches_a_plain_model(ops, calls):
    clock = Clock(0.0)
    s = r.RefreshState(calls, 0.05, clock)  # 3 seconds
    count, last, building = 0, None, False
    for op in ops:
        if op == "wait":
            clock.now += 1.25
        elif op == "tick":
            count += 1
            due = not building and (last is None or count >= max(calls, 1) or clock.now - last >= 3.0)
            building = building or due
            assert s.tick() is due
        elif op == "fired":
            s.fired()
            count, last, building = 0, clock.now, False
        else:
            s.failed(2)
            count, last, building = 0, clock.now - 3.0 + 2, False
        assert (s._count, s._last, s._building) == (count, last, building)


# --- errors of the clock and of the arguments --------------------------------

def test_clock_errors_pass_and_release_the_lock():
    state = {"fail": False}

    def clock():
        if state["fail"]:
            raise KeyError("clock down")
        return 1000.0

    s = r.RefreshState(2, 10, clock)
    s.tick()
    s.fired()
    state["fail"] = True
    with pytest.raises(KeyError, match="clock down"):
        s.tick()                      # count 1, the clock was read and failed
    assert s._count == 1 and s._building is False
    assert s.tick() is True           # count 2 reaches calls without the clock
    with pytest.raises(KeyError):
        s.fired()
    assert s._count == 0 and s._building is True and s._last == 1000.0
    with pytest.raises(KeyError):
        s.failed()
    state["fail"] = False
    s.fired()
    assert s._building is False


def test_bad_readings_and_arguments():
    s = r.RefreshState(1, 10, lambda: "noon")
    s.tick()
    with pytest.raises(TypeError):
        s.fired()
    with pytest.raises(ValueError):
        r.RefreshState(calls="many")
    with pytest.raises(TypeError):
        r.RefreshState(calls=None)
    with pytest.raises(ValueError):
        r.RefreshState(minutes="long")
    with pytest.raises(TypeError):
        r.RefreshState(1, 2, 3, 4)
    with pytest.raises(TypeError):
        r.RefreshState(hours=1)
    s = r.RefreshState(1, 10, Clock())
    s.tick()
    with pytest.raises(TypeError):
        s.failed("soon")
    with pytest.raises(TypeError):
        s.failed(1, 2)
    s.failed(retry_seconds=2.0)
    with pytest.raises(TypeError):
        r.RefreshState(1, 10, None).fired()  # a clock that cannot be called


def test_a_clock_calling_back_is_refused_not_deadlocked():
    holder = {}

    def clock():
        holder["s"].tick()
        return 0.0

    s = holder["s"] = r.RefreshState(5, 10, clock)
    s.tick()
    with pytest.raises(RuntimeError, match="not re-entrant"):
        s.fired()
    assert r.RefreshState(5, 10, Clock()).tick()  # and nothing else is held


def test_init_and_fields_wait_for_a_tick_in_progress():
    # A tick holds the lock while its clock runs; __init__ and the fields
    # on another thread wait for it, so the clock is never swapped mid-call.
    entered, release = threading.Event(), threading.Event()
    seen = []

    def slow_clock():
        entered.set()
        release.wait(10)
        return 0.0

    s = r.RefreshState(100, 10, slow_clock)
    release.set()  # the clock runs freely until the tick under test
    s.tick()
    s.fired()
    release.clear()
    entered.clear()
    ticker = threading.Thread(target=lambda: seen.append(("tick", s.tick())))
    ticker.start()
    assert entered.wait(10)
    other = threading.Thread(target=lambda: (s.__init__(1, 1, Clock()), seen.append(("init", s._count))))
    other.start()
    other.join(0.2)
    assert other.is_alive() and seen == []  # waiting on the lock
    release.set()
    ticker.join(10)
    other.join(10)
    assert seen == [("tick", False), ("init", 0)]
    assert s.calls == 1 and s._last is None and s.tick()


def test_fields_read_from_inside_the_clock_are_refused():
    holder = {}

    def clock():
        holder["s"]._count
        return 0.0

    s = holder["s"] = r.RefreshState(5, 10, clock)
    s.tick()
    with pytest.raises(RuntimeError, match="not re-entrant"):
        s.fired()

    def reinit():
        holder["t"].__init__(1, 1)
        return 0.0

    t = holder["t"] = r.RefreshState(5, 10, reinit)
    t.tick()
    with pytest.raises(RuntimeError, match="not re-entrant"):
        t.fired()
    assert t.calls == 5 and t._clock is reinit


def test_instances_are_collected_through_their_clock():
    class Host:
        def clock(self):
            return 1.0

    h = Host()
    h.state = r.RefreshState(3, 1, h.clock)  # a cycle: state -> bound method -> host -> state
    ref = weakref.ref(h.state)
    del h
    gc.collect()
    assert ref() is None


def test_subclass_keeps_the_behaviour():
    class Mine(r.RefreshState):
        pass

    m = Mine(calls=1, clock=Clock())
    assert m.tick() and not m.tick()
    assert m.calls == 1


# --- threads -----------------------------------------------------------------

def test_many_threads_one_rebuild_at_a_time():
    lock = threading.Lock()
    now = [0.0]

    def sleepy_clock():
        time.sleep(0.0002)          # lets other threads run while the state's lock is held
        with lock:
            now[0] += 0.4
            return now[0]

    state = r.RefreshState(calls=5, minutes=0, clock=sleepy_clock)
    outstanding = [0]
    trues = [0]
    errors = []
    start = threading.Barrier(8)

    def worker(k):
        try:
            start.wait()
            for i in range(150):
                if state.tick():
                    with lock:
                        outstanding[0] += 1
                        trues[0] += 1
                        if outstanding[0] != 1:
                            errors.append("two rebuilds under way")
                    time.sleep(0.0001)
                    with lock:
                        outstanding[0] -= 1
                    (state.fired if (i + k) % 3 else state.failed)()
        except Exception as e:  # pragma: no cover - reported below
            errors.append(repr(e))

    threads = [threading.Thread(target=worker, args=(k,), daemon=True) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not any(t.is_alive() for t in threads), "deadlock"
    assert errors == []
    assert trues[0] > 10


def test_failed_reads_its_argument_before_taking_the_lock():
    # As __init__ does: a retry_seconds whose __float__ uses the instance
    # works, and a bad one changes nothing.
    clock = Clock(1000.0)
    s = r.RefreshState(5, 10, clock)

    class Seconds:
        def __float__(self):
            return float(s._count + 30)  # reads the instance's own fields

    s.tick()
    s.tick()
    s.failed(Seconds())                    # 2 counted: retry after 32 s
    assert (s._count, s._building, s._last) == (0, False, 1000.0 - 600.0 + 32.0)
    s.tick()
    with pytest.raises(TypeError):
        s.failed("soon")
    assert s._count == 1 and s._building is False  # untouched


def test_two_instances_whose_retry_seconds_use_each_other_never_deadlock():
    # Thread A fails `a` with a value whose __float__ ticks `b`; thread B fails
    # `b` with one that ticks `a`; each waits for the other to be inside its
    # conversion. Were either converted under its lock, both would wait on
    # each other's lock forever.
    a, b = r.RefreshState(5, 10, Clock()), r.RefreshState(5, 10, Clock())
    inside = threading.Barrier(2, timeout=10)
    done = []

    class Seconds:
        def __init__(self, other):
            self.other = other

        def __float__(self):
            inside.wait()
            self.other.tick()
            return 5.0

    threads = [threading.Thread(target=lambda x=x, y=y: (x.failed(Seconds(y)), done.append(x)), daemon=True)
               for x, y in ((a, b), (b, a))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(10)
    assert len(done) == 2, "deadlocked"
    assert a._building is b._building is False
