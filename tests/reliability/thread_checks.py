"""Thread checks, run in a child process so that a deadlock shows up as a
time-out in the parent instead of a frozen test run.

    python thread_checks.py functions MODULE   every callable from 8 threads at once
    python thread_checks.py refresh-state      RefreshState's invariant under 8 threads

Prints one JSON line with the figures; exits non-zero on a mismatch.
"""

from __future__ import annotations

import json
import sys
import threading
import time

import callables
import representative

THREADS = 8


def _outcome(fn, args, kwargs):
    try:
        return ("result", fn(*args, **kwargs))
    except Exception as exc:
        return ("raised", f"{type(exc).__name__}: {exc}")


def _same(a, b) -> bool:
    try:
        if a == b:
            return True
    except Exception:
        pass
    return repr(a) == repr(b)


def _run_threads(body, n=THREADS):
    """Run body(i) on n threads released together; return their errors."""
    barrier = threading.Barrier(n)
    errors: list[str] = []

    def run(i):
        try:
            barrier.wait()
            body(i)
        except BaseException as exc:  # noqa: BLE001 - reported to the parent
            errors.append(f"thread {i}: {type(exc).__name__}: {exc}")

    threads = [threading.Thread(target=run, args=(i,), daemon=True) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return errors


def check_functions(module_name: str, repeats: int) -> dict:
    mod, err = callables.load(module_name)
    if mod is None:
        return {"module": module_name, "import_error": err}
    all_targets = callables.targets(mod)
    checked, mismatches, runs = [], [], 0
    for target in all_targets:
        receiver = None
        if target.owner is not None:
            if "__match_args__" not in vars(target.owner):
                continue  # a mutable class: its own check below
            receiver = representative.instance_of(target.owner, all_targets)
            if receiver is None:
                continue
        # Shared inputs: every thread gets the very same argument objects.
        args, kwargs = representative.baseline(target)
        fn = target.call if receiver is None else (lambda *a, _f=target.call, _r=receiver, **k: _f(_r, *a, **k))
        before = repr((args, kwargs))
        expected = _outcome(fn, args, kwargs)
        if target.is_type and expected[0] == "result" and "__match_args__" not in vars(target.call):
            continue  # constructing a mutable object: nothing shared to compare
        bad: list[str] = []

        def body(i, fn=fn, args=args, kwargs=kwargs, expected=expected, bad=bad):
            for _ in range(repeats):
                got = _outcome(fn, args, kwargs)
                if got[0] != expected[0] or not _same(got[1], expected[1]):
                    bad.append(f"thread {i}: {got!r:.300} != {expected!r:.300}")
                    return

        errors = _run_threads(body)
        runs += THREADS * repeats
        checked.append(target.label)
        if bad or errors:
            mismatches.append({"target": target.label, "problems": (bad + errors)[:3]})
        # The inputs are unchanged by the calls.
        if repr((args, kwargs)) != before:
            mismatches.append({"target": target.label, "problems": ["an argument was changed by the call"]})
    return {"module": module_name, "checked": checked, "runs": runs, "mismatches": mismatches}


class Boom(Exception):
    pass


def _tick_storm(state, iterations: int, finish) -> dict:
    """8 threads tick; whoever gets True holds the rebuild until it calls
    finish(state). Counts overlapping holders: the invariant says none."""
    guard = threading.Lock()
    holders = [0]
    overlaps = [0]
    trues = [0]
    ticks = [0]

    def body(i):
        for n in range(iterations):
            try:
                due = state.tick()
            except Boom:
                continue
            with guard:
                ticks[0] += 1
            if not due:
                continue
            with guard:
                trues[0] += 1
                if holders[0]:
                    overlaps[0] += 1
                holders[0] += 1
            time.sleep(0)  # let other threads tick while the rebuild runs
            with guard:
                holders[0] -= 1
            while True:
                try:
                    finish(state, n)
                    break
                except Boom:
                    continue

    errors = _run_threads(body)
    return {"ticks": ticks[0], "trues": trues[0], "overlaps": overlaps[0], "errors": errors}


def check_refresh_state(iterations: int) -> dict:
    mod, err = callables.load("refresh")
    if mod is None or not hasattr(mod, "RefreshState"):
        return {"import_error": err or "no RefreshState"}
    RefreshState = mod.RefreshState
    results: dict[str, dict] = {}

    # A clock that gives the GIL away on every reading, standing still: with
    # calls=1 every tick outside a rebuild is due, the most contention there is.
    def still_clock():
        time.sleep(0)
        return 1000.0

    results["count-due, fired"] = _tick_storm(RefreshState(1, 10.0, still_clock), iterations,
                                              lambda s, n: s.fired())
    results["count-due, failed"] = _tick_storm(RefreshState(1, 10.0, still_clock), iterations,
                                               lambda s, n: s.failed(0.0))

    # Time-due: a clock moving 0.6 s a reading, so every other reading is due.
    now = [0.0]
    now_lock = threading.Lock()

    def moving_clock():
        time.sleep(0)
        with now_lock:
            now[0] += 0.6
            return now[0]

    results["time-due"] = _tick_storm(RefreshState(10**9, 0.0, moving_clock), iterations,
                                      lambda s, n: s.fired() if n % 2 else s.failed(1.0))

    # A clock that fails now and then: the error reaches the caller, the lock
    # is released, nothing deadlocks, and the invariant still holds.
    readings = [0]

    def flaky_clock():
        time.sleep(0)
        with now_lock:
            readings[0] += 1
            if readings[0] % 5 == 0:
                raise Boom("clock")
            return float(readings[0])

    results["flaky clock"] = _tick_storm(RefreshState(2, 0.0, flaky_clock), iterations,
                                         lambda s, n: s.fired())

    # An interrupt from the clock passes through and leaves the state usable.
    def interrupting_clock():
        raise KeyboardInterrupt

    st = RefreshState(1, 10.0, interrupting_clock)
    interrupted = 0
    assert st.tick() is True  # the first tick never reads the clock
    for call in (st.fired, st.failed):
        try:
            call()
        except KeyboardInterrupt:
            interrupted += 1
    results["interrupting clock"] = {"interrupted": interrupted, "errors": [] if interrupted == 2 else
                                     ["an interrupt from the clock did not reach the caller"]}
    return results


def main(argv: list[str]) -> int:
    if argv[1] == "functions":
        report = check_functions(argv[2], int(argv[3]) if len(argv) > 3 else 20)
        ok = not report.get("mismatches")
    else:
        report = check_refresh_state(int(argv[2]) if len(argv) > 2 else 300)
        ok = all(not r.get("errors") and not r.get("overlaps") for r in report.values() if isinstance(r, dict))
    print(json.dumps(report))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
