"""The benchmark harness: each workload is timed with timeit over repeats,
reporting the best and median per-call time; a workload with a floor (the
cheapest thing CPython itself can do for the same result, or the same steps
written in plain Python) is timed in the same run and the ratio is printed.

Every figure is also printed in units of one `len()` call on a 5-character
string, timed beside each workload the same way (best of the repeats, taken
in turn with the workload's), so figures from different machines compare;
units and ratios are net of the cost of the empty call each workload is
made through. A workload with a target (in those units) says
whether it meets it."""

from __future__ import annotations

import dataclasses
import statistics
import timeit
from typing import Callable


@dataclasses.dataclass(frozen=True)
class Workload:
    name: str
    ours: Callable[[], object]
    floor: Callable[[], object] | None = None
    floor_name: str = ""
    note: str = ""
    target: float | None = None  # most len() units a call may take


def per_call(fn: Callable[[], object], *, repeat: int = 7, budget: float = 0.2) -> tuple[float, float]:
    """Best and median seconds per call; the loop count is picked so that one
    repeat takes about `budget` seconds."""
    timer = timeit.Timer(fn)
    number, _ = timer.autorange()
    number = max(1, int(number * budget / 0.2))
    times = [t / number for t in timer.repeat(repeat=repeat, number=number)]
    return min(times), statistics.median(times)


def fmt(seconds: float) -> str:
    if seconds < 1e-6:
        return f"{seconds * 1e9:8.1f} ns"
    if seconds < 1e-3:
        return f"{seconds * 1e6:8.2f} us"
    return f"{seconds * 1e3:8.2f} ms"


FIVE = "kelvo"


def empty() -> None:
    return None


def ten_lens() -> None:
    # Ten calls, so the unit stands well clear of the cost of the empty call.
    len(FIVE); len(FIVE); len(FIVE); len(FIVE); len(FIVE)  # noqa: E702
    len(FIVE); len(FIVE); len(FIVE); len(FIVE); len(FIVE)  # noqa: E702


def interleaved(fns: list[Callable[[], object]], *, repeat: int = 15,
                budget: float = 0.05) -> list[tuple[float, float]]:
    """Best and median seconds per call of each of `fns`, their repeats taken
    in turn, so that a change of load on the machine touches all alike; many
    short repeats, since the best of them is what a loaded machine spoils
    least."""
    timers = []
    for fn in fns:
        timer = timeit.Timer(fn)
        timers.append((timer, max(1, int(timer.autorange()[0] * budget / 0.2))))
    times: list[list[float]] = [[] for _ in fns]
    for _ in range(repeat):
        for (timer, number), out in zip(timers, times):
            out.append(timer.timeit(number) / number)
    return [(min(t), statistics.median(t)) for t in times]


def run(workloads: list[Workload]) -> list[dict[str, object]]:
    """Times each workload beside its floor, the empty call every workload is
    wrapped in, and one len() call on a 5-character string (the unit). Units
    and ratios are net of the empty call, so a figure is the cost of the call
    itself."""
    rows = []
    for w in workloads:
        fns = [empty, ten_lens, w.ours] + ([w.floor] if w.floor is not None else [])
        (overhead, _), (lens_best, _), (best, median), *floor = interleaved(fns)
        per_len = max(lens_best - overhead, 1e-11) / 10
        ours = max(best - overhead, 0.0) / per_len
        row: dict[str, object] = {"name": w.name, "best": best, "median": median, "units": ours}
        line = f"  {w.name:<52} {fmt(best)} (median {fmt(median).strip()}) = {ours:,.1f} len"
        if floor:
            fbest = floor[0][0]
            funits = max(fbest - overhead, 0.0) / per_len
            ratio = ours / funits if funits else float("inf")
            row.update(floor=w.floor_name, floor_best=fbest, floor_units=funits, ratio=ratio)
            line += f" | {w.floor_name}: {fmt(fbest).strip()} = {funits:,.1f} len | ratio {ratio:5.2f}x"
        if w.target is not None:
            row["met"] = ours <= w.target
            line += f" | target <= {w.target:,.1f}: {'met' if row['met'] else 'MISSED'}"
        if w.note:
            line += f" | {w.note}"
        print(line, flush=True)
        rows.append(row)
    return rows
