"""The reference server: one tool call end to end through the MCP SDK's
in-process transport, and the part of it spent in our modules.

The call is a compact-profile family call (`kelvo_page_read` op "get" of a
plain page), on a connection with the default refresh timer, so that every
twelfth call also rescans the docs canvas and rebuilds the digest. Our part is
measured in place: the six modules are swapped in the server for meters that
time each call into them (resolve, ignored arguments, respell, tick, fired, the
rescan and the digest, the page's Markdown), less the time the rescan spends
in the engine, which is host code.

    python bench/bench_server.py [calls]
"""

from __future__ import annotations

import sys
import time
from collections.abc import Callable
from typing import Any

import anyio
from mcp import Client

from kelvo_mcp.engine.canvas import SAMPLE_CANVAS, load_canvas, seed_engine
from kelvo_mcp.server import pipeline  # noqa: F401  # loads every module of the server
from kelvo_mcp.server.connection import Connection, open_connection
from kelvo_mcp.server.mcp_adapter import make_server

MODULES = ("capabilities", "explain", "instructions", "lexicon", "refresh", "surfaces")


def swap_modules(swap: Callable[[Any], Any]) -> None:
    """Each of our six modules, where a module of the server holds it, replaced by `swap(module)`."""
    for mod_name, mod in list(sys.modules.items()):
        if mod_name.startswith("kelvo_mcp.server"):
            for name in MODULES:
                if hasattr(mod, name):
                    setattr(mod, name, swap(getattr(mod, name)))

CALL = ("kelvo_page_read", {"op": "get", "page_id": "pg_0009"})
TARGET_SHARE = 0.05


class Meter:
    """Seconds spent inside our modules, by function, less engine time met inside them."""

    def __init__(self) -> None:
        self.by_name: dict[str, float] = {}
        self.engine_inside = 0.0
        self.depth = 0

    def wrap(self, name: str, fn: Callable[..., Any]) -> Callable[..., Any]:
        def timed(*args: Any, **kwargs: Any) -> Any:
            self.depth += 1
            start = time.perf_counter()
            try:
                return fn(*args, **kwargs)
            finally:
                self.by_name[name] = self.by_name.get(name, 0.0) + time.perf_counter() - start
                self.depth -= 1
        return timed

    def wrap_engine(self, fn: Callable[..., Any]) -> Callable[..., Any]:
        def timed(*args: Any, **kwargs: Any) -> Any:
            start = time.perf_counter()
            try:
                return fn(*args, **kwargs)
            finally:
                if self.depth:
                    self.engine_inside += time.perf_counter() - start
        return timed

    @property
    def ours(self) -> float:
        return sum(self.by_name.values()) - self.engine_inside


class Metered:
    """A module whose functions (and the methods of the objects they make) are timed."""

    def __init__(self, module: Any, meter: Meter) -> None:
        self._module, self._meter = module, meter

    def __getattr__(self, name: str) -> Any:
        value = getattr(self._module, name)
        if callable(value) and not isinstance(value, type):
            return self._meter.wrap(f"{self._module.__name__.rsplit('.', 1)[-1]}.{name}", value)
        return value


class MeteredTimer:
    def __init__(self, timer: Any, meter: Meter) -> None:
        self.tick = meter.wrap("RefreshState.tick", timer.tick)
        self.fired = meter.wrap("RefreshState.fired", timer.fired)
        self.failed = meter.wrap("RefreshState.failed", timer.failed)


async def session_calls(conn: Connection, calls: int) -> float:
    async with Client(make_server(conn), mode="legacy") as client:
        for _ in range(50):  # warm up the session, the thread pool and the caches
            await client.call_tool(*CALL)
        start = time.perf_counter()
        for _ in range(calls):
            result = await client.call_tool(*CALL)
        elapsed = time.perf_counter() - start
    assert not result.is_error, result.content
    return elapsed


def measure(calls: int) -> dict[str, Any]:
    engine = seed_engine(load_canvas(SAMPLE_CANVAS))
    conn = open_connection(engine, "compact")
    plain = anyio.run(session_calls, conn, calls)

    meter = Meter()
    swap_modules(lambda module: Metered(module, meter))
    try:
        conn = open_connection(engine, "compact")
        conn.agent.timer = MeteredTimer(conn.agent.timer, meter)  # type: ignore[assignment]
        for name in ("list_pages", "get_page"):
            setattr(engine, name, meter.wrap_engine(getattr(engine, name)))
        meter.by_name.clear()
        meter.engine_inside = 0.0
        metered = anyio.run(session_calls, conn, calls)
    finally:
        swap_modules(lambda module: module._module)
    return {"calls": calls, "per_call": plain / calls, "metered_per_call": metered / calls,
            "ours_per_call": meter.ours / calls, "share": meter.ours / metered,
            "builds": conn.rescans, "by_name": {k: v / calls for k, v in meter.by_name.items()},
            "engine_inside_per_call": meter.engine_inside / calls}


def report(calls: int = 2000) -> dict[str, Any]:
    m = measure(calls)
    us = 1e6
    print(f"  tool call end to end (in-process transport)        {m['per_call'] * us:9.1f} us per call")
    print(f"  of which in our modules                            {m['ours_per_call'] * us:9.1f} us per call "
          f"= {m['share'] * 100:.2f}% (target < {TARGET_SHARE * 100:g}%; {m['builds']} digest builds "
          f"in {calls} calls)")
    for name, t in sorted(m["by_name"].items(), key=lambda kv: -kv[1]):
        print(f"    {name:<46} {t * us:9.2f} us per call")
    print(f"    {'(less engine time inside the rescans)':<46} {-m['engine_inside_per_call'] * us:9.2f} us per call")
    return m


if __name__ == "__main__":
    report(int(sys.argv[1]) if len(sys.argv) > 1 else 2000)
