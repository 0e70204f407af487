"""pytest plugin: run each test several times under a debug interpreter and
fail the ones after which sys.gettotalrefcount() grows every round.

    PYTHONPATH=tests/reliability python3.14d -m pytest tests -p leakcheck --leak-rounds=4

Each test runs once to warm caches, once more unmeasured, then `rounds`
measured times with gc.collect() before each reading. A test leaks when every
measured round left more references than the one before (the rule CPython's
own refleak hunter uses); one-off growth from caches filling is not a leak.
Hypothesis runs derandomized with fewer examples, so each round replays the
same inputs. A test that cannot be repeated (it fails on a later run) is
reported, not failed; a test whose one run takes over KELVO_LEAK_MAX_SECONDS
(1 s of CPU time) is not repeated, its callables being covered by the
per-call check. The per-test deltas go to build/reliability/leaks.json.

Only tests that reach native code are repeated: a test whose own code (a
file under tests/) calls none of the six modules' functions, types or
records during its first run tests host code only (pure-Python checks) and
is run once. Calls are seen through sys.monitoring, so new tests are sorted
the same way without a list to keep.
"""

from __future__ import annotations

import gc
import json
import os
import pathlib
import sys

import pytest

MAX_SECONDS = float(os.environ.get("KELVO_LEAK_MAX_SECONDS", "1.0"))

_deltas: dict[str, list[int]] = {}
_slow: dict[str, float] = {}
_unrepeatable: dict[str, str] = {}
_leaks: list[str] = []


def pytest_addoption(parser):
    parser.addoption("--leak-rounds", type=int, default=4, help="measured repetitions of each test")


# -- which tests reach native code ----------------------------------------------

TESTS = str(pathlib.Path(__file__).resolve().parents[1]) + os.sep
NATIVE = {f"kelvo_mcp.{m}" for m in ("lexicon", "refresh", "surfaces", "explain", "capabilities",
                                      "instructions", "_probe")}
NANOBIND = {"nb_func", "nb_method", "nb_bound_method"}
TOOL = sys.monitoring.PROFILER_ID
_reached = [False]
_host_only: list[str] = []


def _ours(obj) -> bool:
    """A function, type, record or bound method of the six modules."""
    t = type(obj)
    if t.__name__ in NANOBIND or getattr(t, "__module__", None) in NATIVE:
        return True
    if isinstance(obj, type):
        return obj.__module__ in NATIVE
    owner = getattr(obj, "__self__", None)
    return owner is not None and type(owner).__module__ in NATIVE


def _on_call(code, offset, callable_, arg0):
    if not code.co_filename.startswith(TESTS):
        return sys.monitoring.DISABLE  # host and library code: never asked again
    if _ours(callable_) or (arg0 is not sys.monitoring.MISSING and _ours(arg0)):
        _reached[0] = True
        sys.monitoring.set_events(TOOL, 0)
    return None


class _Watch:
    """Watches one run of a test for a call from test code into ours."""

    def __enter__(self):
        _reached[0] = False
        sys.monitoring.set_events(TOOL, sys.monitoring.events.CALL)

    def __exit__(self, *exc):
        sys.monitoring.set_events(TOOL, 0)


def _start_watching() -> None:
    sys.monitoring.use_tool_id(TOOL, "leakcheck")
    sys.monitoring.register_callback(TOOL, sys.monitoring.events.CALL, _on_call)


def pytest_configure(config):
    if not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError("the leak check needs a debug interpreter (sys.gettotalrefcount)")
    _start_watching()
    try:
        from hypothesis import settings

        settings.register_profile("leakcheck", max_examples=5, derandomize=True, database=None,
                                  deadline=None, print_blob=False)
        settings.load_profile("leakcheck")
    except ImportError:
        pass


def pytest_collection_modifyitems(items):
    """A test's own example count (its @settings) comes down to the profile's
    too: the repeats replay the same few inputs, and many more only cost time."""
    try:
        from hypothesis import settings
    except ImportError:
        return
    cap = settings.default.max_examples
    for item in items:
        fn = getattr(item, "obj", None)
        own = getattr(fn, "_hypothesis_internal_use_settings", None)
        if own is not None and own.max_examples > cap:
            fn._hypothesis_internal_use_settings = settings(own, max_examples=cap)


def _total() -> int:
    # Empty the interpreter's own caches first (type attribute cache,
    # specialized code): they fill gradually and would look like growth.
    getattr(sys, "_clear_internal_caches", sys._clear_type_cache)()
    gc.collect()
    return sys.gettotalrefcount()


_since_freeze = [0]


def _freeze() -> None:
    """Move everything alive now out of the collector's sight: each reading's
    collection then scans only what the tests made since (pytest, hypothesis
    and the modules hold a large heap, slow to walk under a debug build)."""
    gc.collect()
    gc.freeze()
    _since_freeze[0] = 0


def pytest_collection_finish(session):
    _freeze()


def _forget_tracebacks(values, depth: int) -> None:
    for value in values:
        if isinstance(value, BaseException):
            value.__traceback__ = value.__context__ = value.__cause__ = None
        elif depth and isinstance(value, (list, tuple)):
            _forget_tracebacks(value, depth - 1)
        elif depth and isinstance(value, dict):
            _forget_tracebacks(list(value.values()), depth - 1)


def _raw(fn, rounds: int) -> list[int]:
    readings = [0] * (rounds + 1)
    readings[0] = _total()
    for i in range(rounds):
        fn()
        readings[i + 1] = _total()
    return [b - a for a, b in zip(readings, readings[1:])]


_idle: list[int] = []


def _measure(fn, rounds: int) -> list[int]:
    """Refcount growth per round, less what measuring costs (each stored
    reading is one more int object)."""
    if len(_idle) != rounds:
        _idle[:] = _raw(lambda: None, rounds)
    return [d - i for d, i in zip(_raw(fn, rounds), _idle)]


def _cpu() -> float:
    """CPU seconds of this process and the children it waited for: unlike the
    wall clock, the same on a busy machine (CI runs stages side by side) as on
    an idle one, so the same tests are repeated either way."""
    t = os.times()
    return t.user + t.system + t.children_user + t.children_system


@pytest.hookimpl(hookwrapper=True)
def pytest_pyfunc_call(pyfuncitem):
    start = _cpu()
    with _Watch():
        outcome = yield  # the ordinary run: its result is the test's result
    took = _cpu() - start
    if not _reached[0]:
        _host_only.append(pyfuncitem.nodeid)
    if outcome.excinfo is not None or not _reached[0]:
        return
    _since_freeze[0] += 1
    if _since_freeze[0] >= 50:
        _freeze()
    if took > MAX_SECONDS:
        # Long model comparisons and repeat loops: the per-call check covers
        # what they call, far more cheaply.
        _slow[pyfuncitem.nodeid] = round(took, 2)
        return
    rounds = pyfuncitem.config.getoption("--leak-rounds")
    testfunction = pyfuncitem.obj
    funcargs = {name: pyfuncitem.funcargs[name] for name in pyfuncitem._fixtureinfo.argnames}
    def once():
        # State the harness keeps across rounds is not the subject's leak: an
        # exception instance raised again keeps every round's traceback, and
        # monkeypatch remembers every patch until it is undone.
        _forget_tracebacks(list(funcargs.values()), 4)
        if "monkeypatch" in funcargs:
            funcargs["monkeypatch"].undo()
        testfunction(**funcargs)

    try:
        once()  # unmeasured: caches fill on the first runs
        deltas = _measure(once, rounds)
    except BaseException as exc:  # noqa: BLE001 - a repeat that fails is reported
        _unrepeatable[pyfuncitem.nodeid] = f"{type(exc).__name__}: {exc}"[:200]
        return
    _deltas[pyfuncitem.nodeid] = deltas
    if all(d > 0 for d in deltas):
        _leaks.append(pyfuncitem.nodeid)
        raise AssertionError(f"reference leak: total refcount grew by {deltas} over {rounds} repeats")


def pytest_sessionfinish(session, exitstatus):
    out = pathlib.Path(os.environ.get("KELVO_RELIABILITY_OUT", "build/reliability"))
    out.mkdir(parents=True, exist_ok=True)
    final = [d[-1] for d in _deltas.values() if d]
    report = {
        "tests": len(_deltas),
        "leaking": _leaks,
        "unrepeatable": _unrepeatable,
        "too_slow_to_repeat": _slow,
        "host_only_not_repeated": len(_host_only),
        "sum_of_last_round_deltas": sum(final),
        "max_last_round_delta": max(final, default=0),
        "deltas": _deltas,
    }
    (out / "leaks.json").write_text(json.dumps(report, indent=1))


def pytest_terminal_summary(terminalreporter):
    final = [d[-1] for d in _deltas.values() if d]
    terminalreporter.write_line(
        f"leak check: {len(_deltas)} tests repeated, {len(_leaks)} leaking, "
        f"{len(_unrepeatable)} not repeatable, {len(_slow)} over {MAX_SECONDS}s left out, "
        f"{len(_host_only)} host code only run once; last-round refcount delta summed over tests: {sum(final)}"
    )
    for nodeid, why in sorted(_unrepeatable.items()):
        terminalreporter.write_line(f"  not repeatable: {nodeid}: {why}")
