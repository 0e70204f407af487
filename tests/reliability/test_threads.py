"""Threads: every callable from 8 threads at once on shared inputs gives what
one thread gets, and RefreshState keeps its invariant (of many concurrent
ticks, at most one answers true until fired or failed) with a clock that
gives the GIL away. Each check runs in a child process with a time limit, so
a deadlock fails the check instead of freezing the run.
"""

from __future__ import annotations

import json
import os
import pathlib
import subprocess
import sys

import pytest

from callables import MODULES, allow_missing, load

HERE = pathlib.Path(__file__).resolve().parent
OUT = pathlib.Path(os.environ.get("KELVO_RELIABILITY_OUT", HERE.parents[1] / "build" / "reliability"))
VARIANT = os.environ.get("KELVO_RELIABILITY_VARIANT", "default")
LIMIT = float(os.environ.get("KELVO_THREADS_LIMIT", "600"))

_figures: dict[str, object] = {}


def _child(*args: str) -> dict:
    cmd = [sys.executable, str(HERE / "thread_checks.py"), *args]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(HERE), os.environ.get("PYTHONPATH", "")]))
    try:
        proc = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=LIMIT)
    except subprocess.TimeoutExpired:
        pytest.fail(f"thread check {' '.join(args)} did not finish in {LIMIT:.0f}s: a deadlock")
    lines = proc.stdout.strip().splitlines()
    if not lines:
        pytest.fail(f"thread check {' '.join(args)} died (exit {proc.returncode})\n{proc.stderr[-4000:]}")
    report = json.loads(lines[-1])
    report["_exit"] = proc.returncode
    return report


@pytest.mark.parametrize("module", MODULES)
def test_concurrent_calls_agree_with_one_thread(module):
    mod, err = load(module)
    if mod is None:
        if allow_missing():
            pytest.skip(f"kelvo_mcp.{module} does not import: {err}")
        pytest.fail(f"kelvo_mcp.{module} does not import: {err}")
    report = _child("functions", module, "20")
    if not report["checked"] and allow_missing():
        pytest.skip(f"kelvo_mcp.{module} has no callables yet")
    _figures[module] = {"callables": len(report["checked"]), "runs": report["runs"]}
    assert not report["mismatches"], json.dumps(report["mismatches"], indent=1)
    assert report["_exit"] == 0
    assert report["checked"]


def test_refresh_state_gives_one_rebuild_at_a_time():
    mod, err = load("refresh")
    if mod is None or not hasattr(mod, "RefreshState"):
        if allow_missing():
            pytest.skip("no RefreshState yet")
        pytest.fail(f"kelvo_mcp.refresh.RefreshState is missing: {err}")
    report = _child("refresh-state", "300")
    report.pop("_exit")
    _figures["RefreshState"] = report
    for scenario, r in report.items():
        assert not r.get("errors"), f"{scenario}: {r['errors'][:3]}"
        assert r.get("overlaps", 0) == 0, f"{scenario}: {r['overlaps']} overlapping rebuilds"
    for scenario in ("count-due, fired", "count-due, failed", "time-due", "flaky clock"):
        r = report[scenario]
        assert r["trues"] > 1, f"{scenario}: the storm never got a second rebuild: {r}"
        assert r["ticks"] > r["trues"], f"{scenario}: no tick ever met a rebuild under way: {r}"


def teardown_module(module):
    if not _figures:
        return
    OUT.mkdir(parents=True, exist_ok=True)
    (OUT / f"threads-{VARIANT}.json").write_text(json.dumps(_figures, indent=1))
    runs = sum(v["runs"] for k, v in _figures.items() if k != "RefreshState")
    print(f"\nthread checks ({VARIANT}): {runs} concurrent calls over "
          f"{sum(v['callables'] for k, v in _figures.items() if k != 'RefreshState')} callables")
    if "RefreshState" in _figures:
        for scenario, r in _figures["RefreshState"].items():
            print(f"  RefreshState {scenario}: {r}")


def test_the_storm_catches_a_state_without_a_lock():
    """The check itself: a timer that reads the clock between deciding and
    marking, with nothing held, gives overlapping rebuilds."""
    import time

    import thread_checks

    class Racy:
        def __init__(self):
            self.building = False

        def tick(self):
            due = not self.building
            time.sleep(0)  # the clock reading, between deciding and marking
            if due:
                self.building = True
            return due

        def fired(self):
            self.building = False

    report = thread_checks._tick_storm(Racy(), 200, lambda s, n: s.fired())
    assert report["overlaps"] > 0
