"""What each principal's share costs a call: an engine slot granted by
`FairSlots` against anyio's plain `CapacityLimiter` (its floor), one call at
a time and 64 at once from 4 principals; an agent record's look-up in
`SharedBounded` against `Bounded`. `python bench/run.py shares`."""

from __future__ import annotations

import time
from typing import Any

import anyio
import anyio.to_thread

from kelvo_mcp.server.bounded import Bounded
from kelvo_mcp.server.shares import FairSlots, SharedBounded

CALLS = 2000


def _noop() -> None:
    return None


async def _slots(kind: str, concurrent: int) -> float:
    limiter = anyio.CapacityLimiter(16)
    slots = FairSlots(16, 0.25, queue_per_slot=64)

    async def one(n: int) -> None:
        if kind == "fair":
            await slots.run(f"p{n % 4}", _noop)
        else:
            await anyio.to_thread.run_sync(_noop, limiter=limiter)

    best = float("inf")
    for _ in range(4):  # the first round starts the worker threads
        started = time.perf_counter()
        for batch in range(CALLS // concurrent):
            async with anyio.create_task_group() as tg:
                for n in range(concurrent):
                    tg.start_soon(one, batch * concurrent + n)
        best = min(best, (time.perf_counter() - started) / (CALLS // concurrent * concurrent))
    return best


def _records(kind: str) -> float:
    owner = lambda key: key[0]  # noqa: E731
    records: Any = (SharedBounded(10_000, 1800, share=0.25, owner=owner) if kind == "shared"
                    else Bounded(10_000, 1800))
    keys = [(f"p{n % 4}", n) for n in range(2000)]
    for key in keys:
        records.put(key, key)
    best = float("inf")
    for _ in range(5):
        started = time.perf_counter()
        for key in keys:
            records.get(key)
        best = min(best, (time.perf_counter() - started) / len(keys))
    return best


def report() -> dict[str, Any]:
    figures: dict[str, Any] = {}
    for concurrent in (1, 64):
        fair = anyio.run(_slots, "fair", concurrent)
        plain = anyio.run(_slots, "plain", concurrent)
        figures[f"slot x{concurrent}"] = (fair, plain)
        print(f"engine slot, {concurrent:2d} at once: FairSlots {fair * 1e6:7.1f} us  CapacityLimiter "
              f"{plain * 1e6:7.1f} us  ratio {fair / plain:4.2f}", flush=True)
    shared, plain = _records("shared"), _records("plain")
    figures["record get"] = (shared, plain)
    print(f"agent record get: SharedBounded {shared * 1e6:5.2f} us  Bounded {plain * 1e6:5.2f} us  "
          f"ratio {shared / plain:4.2f}", flush=True)
    return figures
