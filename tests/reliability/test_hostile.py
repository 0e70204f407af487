"""Hostile input: every callable of every module, every argument position,
every value of the hostile catalogue. Each outcome must be a result or a
Python exception; a crash, a hang or a SystemError fails the module's run
and names the call.

Each module is swept in a child process (sweep.py), so a crash is reported
here with the offending call instead of killing the test run. The counts go
to build/reliability/hostile-<variant>.json and are printed with -s.
"""

from __future__ import annotations

import json
import os
import pathlib
import resource
import subprocess
import sys

import pytest

import callables
from callables import MODULES, allow_missing, load

HERE = pathlib.Path(__file__).resolve().parent
OUT = pathlib.Path(os.environ.get("KELVO_RELIABILITY_OUT", HERE.parents[1] / "build" / "reliability"))
VARIANT = os.environ.get("KELVO_RELIABILITY_VARIANT", "default")
MODULE_LIMIT = float(os.environ.get("KELVO_SWEEP_MODULE_LIMIT", "1500"))
# The C stack of each sweep. The 10^5-deep values overrun 1 MB as surely as
# the usual 8 MB, so every recursion guard is still reached (and a recursion
# without one still crashes), but the interpreter's own walk down to the
# overflow (repr of a nested list checks every level above it) costs 1/64.
STACK_KB = int(os.environ.get("KELVO_SWEEP_STACK_KB", "1024"))


def _small_stack() -> None:
    _soft, hard = resource.getrlimit(resource.RLIMIT_STACK)
    want = STACK_KB * 1024
    resource.setrlimit(resource.RLIMIT_STACK, (want if hard == resource.RLIM_INFINITY else min(want, hard), hard))

_results: dict[str, dict] = {}


def _sweep(module: str, tmp_path: pathlib.Path, *extra: str) -> dict:
    out, progress = tmp_path / f"{module}.json", tmp_path / f"{module}.progress"
    cmd = [sys.executable, str(HERE / "sweep.py"), module, "--out", str(out), "--progress", str(progress), *extra]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(HERE), os.environ.get("PYTHONPATH", "")]))

    def last_call() -> str:
        try:
            return progress.read_text(errors="replace").strip() or "<before the first call>"
        except OSError:
            return "<before the first call>"

    try:
        proc = subprocess.run(cmd, env=env, capture_output=True, text=True, errors="replace",
                              timeout=MODULE_LIMIT, preexec_fn=_small_stack)
    except subprocess.TimeoutExpired:
        pytest.fail(f"kelvo_mcp.{module}: the sweep hung (over {MODULE_LIMIT:.0f}s) in {last_call()}")
    if proc.returncode != 0:
        pytest.fail(
            f"kelvo_mcp.{module}: the sweep died (exit {proc.returncode}) in {last_call()}\n"
            f"{proc.stderr[-6000:]}"
        )
    return json.loads(out.read_text())


@pytest.mark.parametrize("module", MODULES)
def test_every_callable_survives_hostile_arguments(module, tmp_path):
    mod, err = load(module)
    if mod is None:
        if allow_missing():
            pytest.skip(f"kelvo_mcp.{module} does not import: {err}")
        pytest.fail(f"kelvo_mcp.{module} does not import: {err}")
    if not callables.targets(mod) and allow_missing():
        pytest.skip(f"kelvo_mcp.{module} has no callables yet")
    result = _sweep(module, tmp_path)
    _results[module] = result
    assert result["calls"] > 0
    assert not result["faults"], "\n".join(result["faults"])
    # Every callable ran, and its ordinary call was among them.
    assert all(sum(c.values()) > 0 for c in result["targets"].values())


def test_a_crashing_call_is_named(tmp_path, monkeypatch):
    """The parent names the call a child died in (checked with a call that
    aborts the interpreter on purpose)."""
    script = tmp_path / "crash.py"
    script.write_text(
        "import os, sys\n"
        "fd = os.open(sys.argv[sys.argv.index('--progress') + 1], os.O_WRONLY | os.O_CREAT)\n"
        "os.write(fd, b'lexicon.utf16_len(s=<planted>)')\n"
        "os.abort()\n"
    )
    monkeypatch.setattr(sys.modules[__name__], "HERE", tmp_path)
    (tmp_path / "sweep.py").write_text(script.read_text())
    with pytest.raises(pytest.fail.Exception, match=r"died .* in lexicon.utf16_len\(s=<planted>\)"):
        _sweep("lexicon", tmp_path)


def teardown_module(module):
    if not _results:
        return
    OUT.mkdir(parents=True, exist_ok=True)
    total = sum(r["calls"] for r in _results.values())
    by_type: dict[str, int] = {}
    for r in _results.values():
        for k, v in r["outcomes"].items():
            by_type[k] = by_type.get(k, 0) + v
    summary = {
        "variant": VARIANT,
        "calls": total,
        "outcomes": dict(sorted(by_type.items(), key=lambda kv: -kv[1])),
        "modules": {m: {"calls": r["calls"], "outcomes": r["outcomes"], "callables": len(r["targets"])}
                    for m, r in _results.items()},
        "slowest": {m: r["slowest"][:3] for m, r in _results.items()},
    }
    (OUT / f"hostile-{VARIANT}.json").write_text(json.dumps(summary, indent=1))
    print(f"\nhostile sweep ({VARIANT}): {total} calls, outcomes {summary['outcomes']}")
    for m, r in summary["modules"].items():
        print(f"  {m}: {r['callables']} callables, {r['calls']} calls, {r['outcomes']}")
