"""The store on each backend, SQLite and PostgreSQL, everything on 127.0.0.1.

- Per engine call, in process: one save of a doc (found by name and written
  over, one write transaction) and one listing of 50 pages (one read
  transaction), beside their floor, an empty write and an empty read
  transaction of the same store.
- Many agents: 64 agents of the SDK's default client (bench_load.py's mix of
  reads, a write read back, a refusal and a 404) against one server process
  on SQLite, one on PostgreSQL and two on one PostgreSQL database (the agents
  split between them): calls per second, p50 and p99 per call, errors.
- An approval's way: two server processes on one PostgreSQL store, the
  second already serving; the user approves a skill with `python -m
  kelvo_mcp.engine --store URL --approve NAME`; the time from that command's
  return until a new agent connecting to the second process is shown the
  skill in its instructions (checked every 50 ms, up to 15 s). The user
  reads the doc first (`--approve NAME` prints its revision) and approves
  that revision (`--expect REVISION`); the time runs from the second
  command's return.

PostgreSQL is a server of its own started with scripts/postgres in a
temporary folder (or the one KELVO_BENCH_POSTGRES_URL names, with a role that
may create databases and its password in PGPASSFILE).

    python bench/run.py store
    python bench/bench_store.py [--seconds 6] [--agents 64]
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

import anyio

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path[:0] = [str(HERE), str(ROOT / "host")]

import bench_load  # noqa: E402

SKILL = "code-review"  # the sample canvas's skill, not approved until the user does
CALLS = 300


# -- the database server --------------------------------------------------------------------

@contextmanager
def postgres() -> Iterator[Callable[[], str]]:
    """A function giving the URL of a fresh database each time it is called."""
    import psycopg

    given = os.environ.get("KELVO_BENCH_POSTGRES_URL")
    folder = None
    if given:
        url = given
    else:
        folder = tempfile.mkdtemp(prefix="kelvo-bench-pg-")
        os.environ["PGPASSFILE"] = str(Path(folder) / "pgpass")
        url = subprocess.run([str(ROOT / "scripts" / "postgres"), "start", folder], check=True, text=True,
                             capture_output=True).stdout.strip().splitlines()[-1]
    made = 0

    def fresh() -> str:
        nonlocal made
        made += 1
        name = f"kelvo_bench_{os.getpid()}_{made}"
        with psycopg.connect(url, autocommit=True) as conn:
            conn.execute(f"CREATE DATABASE {name}")
        return url.rsplit("/", 1)[0] + "/" + name

    try:
        yield fresh
    finally:
        if folder is not None:
            subprocess.run([str(ROOT / "scripts" / "postgres"), "stop", folder], capture_output=True)
            shutil.rmtree(folder, ignore_errors=True)


# -- per call, in process ------------------------------------------------------------------

def _timed(fn: Callable[[], Any], n: int = CALLS) -> tuple[float, float]:
    for _ in range(10):
        fn()
    times = []
    for _ in range(n):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    times.sort()
    return statistics.median(times), times[int(len(times) * 0.99)]


def per_call(name: str, where: str) -> None:
    from kelvo_mcp.engine.canvas import open_store_engine

    engine = open_store_engine(where)
    store = engine.store
    try:
        body = [{"block_type": "paragraph", "text": f"Rule {i}."} for i in range(5)]
        engine.save_doc("bench-rules", body)
        rows: list[tuple[str, tuple[float, float]]] = []

        def empty(write: bool) -> Callable[[], None]:
            def run() -> None:
                with store.transaction(write):
                    pass
            return run

        rows.append(("save (write)", _timed(lambda: engine.save_doc("bench-rules", body))))
        rows.append(("  floor: empty write transaction", _timed(empty(True))))
        for i in range(60):
            engine.create_page(f"filler {i}", [])
        rows.append(("listing of 50 (read)", _timed(lambda: engine.list_pages(limit=50))))
        rows.append(("  floor: empty read transaction", _timed(empty(False))))
    finally:
        engine.close()
    for label, (p50, p99) in rows:
        print(f"  {name:<10} {label:<34} p50 {p50 * 1e6:8.0f} us   p99 {p99 * 1e6:8.0f} us", flush=True)


# -- many agents ---------------------------------------------------------------------------

def server(where: str) -> bench_load.Child:
    return bench_load.Child([sys.executable, "-m", "kelvo_mcp.server", "--http", "127.0.0.1:0", "--store", where,
                             "--stateless"])


async def load(urls: list[str], agents: int, seconds: float) -> dict[str, Any]:
    stats = bench_load.Stats()
    stop, all_ready = anyio.Event(), anyio.Event()
    opened = 0

    def ready() -> None:
        nonlocal opened
        opened += 1
        if opened == agents:
            all_ready.set()

    async with anyio.create_task_group() as tg:
        for n in range(agents):
            tg.start_soon(bench_load.session_loop, urls[n % len(urls)], "default", n, stats, ready, stop)
        with anyio.fail_after(bench_load.START_SECONDS * 2):
            await all_ready.wait()
        await anyio.sleep(2.0)
        stats.recording = True
        start = time.perf_counter()
        await anyio.sleep(seconds)
        stats.recording = False
        wall = time.perf_counter() - start
        stop.set()
    times = sorted(stats.times)
    return {"calls_per_second": len(times) / wall, "p50": statistics.median(times) if times else 0.0,
            "p99": times[min(len(times) - 1, int(len(times) * 0.99))] if times else 0.0,
            "errors": stats.errors, "first_errors": stats.first_errors}


def load_row(label: str, where: str, processes: int, agents: int, seconds: float) -> None:
    children = [server(where) for _ in range(processes)]
    try:
        got = anyio.run(load, [c.url for c in children if c.url], agents, seconds)
    finally:
        for c in children:
            c.stop()
    print(f"  {label:<34} {agents:>3} agents  {got['calls_per_second']:7.0f} calls/s  "
          f"p50 {got['p50'] * 1e3:6.1f} ms  p99 {got['p99'] * 1e3:7.1f} ms  errors {got['errors']}", flush=True)
    for line in got["first_errors"][:3]:
        print(f"      {line[:160]}", flush=True)


# -- an approval's way -----------------------------------------------------------------------

async def _seen_after(url: str, limit: float) -> float | None:
    from mcp import Client

    start = time.perf_counter()
    while time.perf_counter() - start < limit:
        async with Client(url) as c:  # a new agent each time
            if SKILL in (c.instructions or ""):
                return time.perf_counter() - start
        await anyio.sleep(0.05)
    return None


async def _open(url: str) -> None:
    from mcp import Client

    async with Client(url) as c:
        await c.call_tool("kelvo_status", {})


def approval(where: str) -> None:
    one, two = server(where), server(where)
    try:
        assert one.url and two.url
        anyio.run(_open, one.url)
        anyio.run(_open, two.url)  # the second process's scope is open and warm
        cli = [sys.executable, "-m", "kelvo_mcp.engine", "--store", where, "--approve", SKILL]
        env = dict(os.environ, PYTHONPATH=str(ROOT / "host"))
        read = subprocess.run(cli, capture_output=True, text=True, env=env, stdin=subprocess.DEVNULL)
        revision = re.search(r"^revision: (\w+)$", read.stdout, re.M)
        if revision is None:
            print(f"  approval failed: {read.stderr.strip()[-300:]}", flush=True)
            return
        run = subprocess.run([*cli, "--expect", revision[1]], capture_output=True, text=True, env=env)
        if run.returncode != 0:
            print(f"  approval failed: {run.stderr.strip()[-300:]}", flush=True)
            return
        seen = anyio.run(_seen_after, two.url, 15.0)
    finally:
        one.stop()
        two.stop()
    shown = f"{seen * 1e3:.0f} ms" if seen is not None else "not within 15 s"
    print(f"  approval on one process -> a new agent on the other sees it: {shown}", flush=True)


# -- the report -----------------------------------------------------------------------------

def report(seconds: float | None = None, agents: int = 64) -> None:
    seconds = seconds if seconds is not None else float(os.environ.get("KELVO_LOAD_SECONDS", "6"))
    with postgres() as fresh, tempfile.TemporaryDirectory() as tmp:
        print("per engine call, in process", flush=True)
        per_call("sqlite", str(Path(tmp) / "calls.db"))
        per_call("postgresql", fresh())
        print(f"many agents over streamable HTTP ({seconds:g} s a row)", flush=True)
        load_row("1 process, SQLite", str(Path(tmp) / "load.db"), 1, agents, seconds)
        load_row("1 process, PostgreSQL", fresh(), 1, agents, seconds)
        load_row("2 processes, one PostgreSQL store", fresh(), 2, agents, seconds)
        approval(fresh())


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(prog="bench_store.py")
    parser.add_argument("--seconds", type=float, default=None)
    parser.add_argument("--agents", type=int, default=64)
    ns = parser.parse_args(argv)
    report(ns.seconds, ns.agents)
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
