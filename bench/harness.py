"""The benchmark harness: each workload is timed with timeit over repeats,
reporting the best and median per-call time; a workload with a floor (the
cheapest thing CPython itself can do for the same result) is timed in the
same run and the ratio is printed."""

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


def run(workloads: list[Workload]) -> list[dict[str, object]]:
    rows = []
    for w in workloads:
        best, median = per_call(w.ours)
        row: dict[str, object] = {"name": w.name, "best": best, "median": median}
        line = f"  {w.name:<52} {fmt(best)} (median {fmt(median).strip()})"
        if w.floor is not None:
            fbest, _ = per_call(w.floor)
            row.update(floor=w.floor_name, floor_best=fbest, ratio=best / fbest)
            line += f" | floor {w.floor_name}: {fmt(fbest).strip()} | ratio {best / fbest:5.2f}x"
        if w.note:
            line += f" | {w.note}"
        print(line, flush=True)
        rows.append(row)
    return rows
