"""Reference leaks, call by call: every callable of every module is called
on its ordinary inputs and with each small hostile value in each argument
position, round after round; the interpreter's total reference count must
stop growing. Error paths are where references usually leak, hence the
hostile values. Needs a debug interpreter (sys.gettotalrefcount); skipped
otherwise. The whole suite, test by test, is covered by the leakcheck plugin.
"""

from __future__ import annotations

import gc
import json
import os
import pathlib
import sys

import pytest

import callables
import hostile_values
import representative
from callables import MODULES, allow_missing, load

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                                reason="needs a debug interpreter (sys.gettotalrefcount)")

HERE = pathlib.Path(__file__).resolve().parent
OUT = pathlib.Path(os.environ.get("KELVO_RELIABILITY_OUT", HERE.parents[1] / "build" / "reliability"))
WARMUP, ROUNDS = 2, 5

_figures: dict[str, dict] = {}


def _plan(target: callables.Target, all_targets) -> list:
    """Thunks calling `target` once each: the ordinary call, then each small
    hostile value in each position."""
    base_args, base_kwargs = representative.baseline(target)
    owner = target.owner

    def call(args, kwargs):
        if owner is not None:
            receiver = representative.instance_of(owner, all_targets)
            return target.call(receiver, *args, **kwargs)
        return target.call(*args, **kwargs)

    thunks = [lambda: call(*representative.baseline(target))]
    positional = [p for p in target.params if p.kind != "named"]
    for param in target.params:
        for _label, make in hostile_values.small():
            if param.kind == "named":
                thunks.append(lambda p=param, m=make: call(base_args, dict(base_kwargs, **{p.name: m()})))
            else:
                pos = positional.index(param)

                def thunk(pos=pos, m=make):
                    args = list(base_args)
                    args += [representative.value_for(p) for p in positional[len(args):pos + 1]]
                    args[pos] = m()
                    return call(args, base_kwargs)

                thunks.append(thunk)
    return thunks


def _round(thunks) -> None:
    for thunk in thunks:
        try:
            result = thunk()
            repr(result)
        except BaseException:  # noqa: BLE001 - the outcome is not under test here
            pass
    result = None


def _total() -> int:
    # The interpreter's own caches (type attribute cache, specialized code)
    # fill gradually over the first few hundred calls of a new path; they are
    # emptied before each reading, as CPython's own leak hunter does.
    getattr(sys, "_clear_internal_caches", sys._clear_type_cache)()
    gc.collect()
    gc.collect()
    return sys.gettotalrefcount()


def _raw_deltas(thunks, rounds) -> list[int]:
    for _ in range(WARMUP):
        _round(thunks)
    readings = [0] * (rounds + 1)
    readings[0] = _total()
    for i in range(rounds):
        _round(thunks)
        readings[i + 1] = _total()
    return [b - a for a, b in zip(readings, readings[1:])]


_unraisable = [0]


def _count_unraisable(info) -> None:
    _unraisable[0] += 1


def _deltas(thunks, rounds=ROUNDS) -> list[int]:
    """Growth of the total refcount per round, less what the measuring itself
    costs (each stored reading is one more int object). Errors a call swallows
    are counted, not kept (pytest keeps them, which would look like a leak);
    the hostile sweep reports them."""
    hook, sys.unraisablehook = sys.unraisablehook, _count_unraisable
    try:
        idle = _raw_deltas([], rounds)
        return [d - i for d, i in zip(_raw_deltas(thunks, rounds), idle)]
    finally:
        sys.unraisablehook = hook


def _leaks(deltas: list[int]) -> bool:
    return all(d > 0 for d in deltas)


@pytest.mark.parametrize("module", MODULES)
def test_repeated_calls_hold_no_references(module):
    mod, err = load(module)
    if mod is None:
        if allow_missing():
            pytest.skip(f"kelvo_mcp.{module} does not import: {err}")
        pytest.fail(f"kelvo_mcp.{module} does not import: {err}")
    all_targets = callables.targets(mod)
    if not all_targets and allow_missing():
        pytest.skip(f"kelvo_mcp.{module} has no callables yet")
    plans = {t.label: _plan(t, all_targets) for t in all_targets}
    everything = [thunk for thunks in plans.values() for thunk in thunks]
    deltas = _deltas(everything)
    _figures[module] = {"calls per round": len(everything), "rounds": ROUNDS, "deltas": deltas}
    if not _leaks(deltas):
        return
    # Name the callables that leak.
    culprits = {}
    for label, thunks in plans.items():
        d = _deltas(thunks)
        if _leaks(d):
            culprits[label] = d
    _figures[module]["leaking"] = culprits
    pytest.fail(f"kelvo_mcp.{module}: total refcount grew every round {deltas}; leaking: {culprits}")


def test_a_planted_leak_is_caught():
    """The check itself: a call that keeps one new reference per call."""
    kept = []
    deltas = _deltas([lambda: kept.append(object())])
    assert _leaks(deltas)
    assert not _leaks(_deltas([lambda: [object()]]))


def teardown_module(module):
    if not _figures:
        return
    OUT.mkdir(parents=True, exist_ok=True)
    (OUT / "leaks-calls.json").write_text(json.dumps(_figures, indent=1))
    print("\nper-call leak check (refcount delta per round, after warm-up):")
    for m, f in _figures.items():
        print(f"  {m}: {f['calls per round']} calls a round, deltas {f['deltas']}")
