"""Drive every callable of one module with hostile arguments, in a process of
its own so that a crash or a hang takes down only this run.

    python sweep.py MODULE --out RESULT.json --progress PROGRESS [--small]

--small (or KELVO_SWEEP_SMALL=1) leaves out the 10 MB and deeply nested values.

Before each call the call's description is written to PROGRESS, so the
parent can name the call that crashed or hung. Every outcome is recorded: a
result, or the type of the Python exception raised. A SystemError counts as
a fault (a native function returned a result with an error set, or no result
without one), as does a call running longer than the per-call limit.
"""

from __future__ import annotations

import collections
import faulthandler
import gc
import json
import os
import sys
import time

sys.setrecursionlimit(10_000)
sys.set_int_max_str_digits(0)

import callables  # noqa: E402
import hostile_values  # noqa: E402
import representative  # noqa: E402

CALL_LIMIT = float(os.environ.get("KELVO_SWEEP_CALL_LIMIT", "120"))


class Sweep:
    def __init__(self, module_name: str, progress_path: str, values):
        self.module_name = module_name
        self.values = values
        self.fd = os.open(progress_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        self.calls = 0
        self.outcomes: collections.Counter[str] = collections.Counter()
        self.per_target: dict[str, collections.Counter[str]] = {}
        self.faults: list[str] = []
        self.slowest: list[tuple[float, str]] = []
        self.current = ""
        self.followed: set[tuple[type, str]] = set()
        sys.unraisablehook = self.unraisable

    def unraisable(self, info) -> None:
        # An error the module swallowed and printed ("Exception ignored in
        # ..."): an interrupt lost, or a failure the caller never sees.
        exc = f"{info.exc_type.__name__}: {info.exc_value}"
        self.faults.append(f"{self.current}: error swallowed in {info.err_msg or info.object!r}: {exc}")

    def note(self, what: str) -> None:
        data = (what[:900] + "\n").encode("utf-8", "backslashreplace")
        os.pwrite(self.fd, data.ljust(1024), 0)

    def attempt(self, target_label: str, what: str, fn, *args, **kwargs):
        """Call fn once; record and return (ok, result)."""
        self.note(what)
        self.current = what
        self.calls += 1
        faulthandler.dump_traceback_later(CALL_LIMIT, exit=True)
        start = time.perf_counter()
        try:
            result = fn(*args, **kwargs)
            outcome, ok = "result", True
        except BaseException as exc:  # interrupts too: they must come back as exceptions
            result, ok = None, False
            outcome = type(exc).__name__
            if isinstance(exc, SystemError):
                self.faults.append(f"{what}: SystemError: {exc}")
            del exc
        finally:
            faulthandler.cancel_dump_traceback_later()
        took = time.perf_counter() - start
        self.slowest.append((took, what))
        if len(self.slowest) > 40:
            self.slowest.sort(reverse=True)
            del self.slowest[10:]
        self.outcomes[outcome] += 1
        self.per_target.setdefault(target_label, collections.Counter())[outcome] += 1
        return ok, result

    def follow_up(self, target_label: str, what: str, result, value: str = "") -> None:
        """Use a returned object of the module's own types the way a host
        would: repr, hash, equality, and its argument-free methods. A record
        holding one of the large values is used so once per type and value:
        its repr is mostly the interpreter's repr of that value, whichever
        field holds it."""
        if isinstance(result, (list, tuple)) and len(result) <= 8:
            for item in result:
                self.follow_up(target_label, what, item, value)
            return
        cls = type(result)
        if not cls.__module__.startswith("kelvo_mcp"):
            return
        if value in hostile_values.LARGE:
            if (cls, value) in self.followed:
                return
            self.followed.add((cls, value))
        self.attempt(target_label, f"repr({what})", repr, result)
        self.attempt(target_label, f"hash({what})", hash, result)
        self.attempt(target_label, f"{what} == itself", lambda r: r == r, result)
        self.attempt(target_label, f"{what}.__reduce__()", lambda r: r.__reduce__(), result)
        for name, meth in vars(cls).items():
            if name.startswith("_") or not callable(meth):
                continue
            for _ in range(2):
                self.attempt(target_label, f"{what}.{name}()", getattr(result, name))

    def run_target(self, target: callables.Target, all_targets) -> None:
        base_args, base_kwargs = representative.baseline(target)
        receiver = None
        if target.owner is not None:
            receiver = representative.instance_of(target.owner, all_targets)
            if receiver is None:
                self.per_target.setdefault(target.label, collections.Counter())["no instance"] += 1
                return

        def call(args, kwargs):
            if receiver is not None:
                return target.call(receiver, *args, **kwargs)
            return target.call(*args, **kwargs)

        # The ordinary call first: it must work, or at least fail cleanly.
        ok, result = self.attempt(target.label, f"{target.label}(<baseline>)", call, base_args, base_kwargs)
        if ok:
            self.follow_up(target.label, f"{target.label}(<baseline>)", result)
        del result

        positional = [p for p in target.params if p.kind != "named"]
        for param in target.params:
            for label, make in self.values:
                if not hostile_values.text_for(label, param.annotation):
                    continue
                args, kwargs = list(base_args), dict(base_kwargs)
                if param.kind == "named":
                    kwargs[param.name] = make()
                    shown = f"{param.name}=<{label}>"
                else:
                    pos = positional.index(param)
                    if pos > len(args):  # fill the optional positions before it
                        args += [representative.value_for(p) for p in positional[len(args):pos]]
                    value = make()
                    if pos == len(args):
                        args.append(value)
                    else:
                        args[pos] = value
                    shown = f"{param.name}=<{label}> (position {pos})"
                what = f"{target.label}({shown})"
                ok, result = self.attempt(target.label, what, call, args, kwargs)
                if ok:
                    self.follow_up(target.label, what, result, label)
                del result, args, kwargs
            gc.collect()
        # Too many arguments, and an unknown name: refused, never a crash.
        extra = list(base_args) + [representative.value_for(p) for p in positional[len(base_args):]] + ["extra"]
        self.attempt(target.label, f"{target.label}(<one argument too many>)", call, extra, base_kwargs)
        self.attempt(target.label, f"{target.label}(<unknown name>)", call, base_args,
                     dict(base_kwargs, no_such_parameter=1))

    def report(self) -> dict:
        self.slowest.sort(reverse=True)
        return {
            "module": self.module_name,
            "calls": self.calls,
            "outcomes": dict(self.outcomes.most_common()),
            "targets": {k: dict(v) for k, v in self.per_target.items()},
            "faults": self.faults,
            "slowest": [[round(t, 3), w] for t, w in self.slowest[:10]],
        }


def main(argv: list[str]) -> int:
    module_name = argv[1]
    out = argv[argv.index("--out") + 1]
    progress = argv[argv.index("--progress") + 1]
    small = "--small" in argv or os.environ.get("KELVO_SWEEP_SMALL")
    values = hostile_values.small() if small else hostile_values.catalogue()
    only = argv[argv.index("--only") + 1] if "--only" in argv else None
    mod, err = callables.load(module_name)
    if mod is None:
        json.dump({"module": module_name, "import_error": err}, open(out, "w"))
        return 0
    sweep = Sweep(module_name, progress, values)
    all_targets = callables.targets(mod)
    for target in all_targets:
        if only and not target.label.startswith(only):
            continue
        sweep.run_target(target, all_targets)
    sweep.note("<teardown>")
    gc.collect()
    with open(out, "w") as f:
        json.dump(sweep.report(), f, indent=1)
    sweep.note("<done>")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
