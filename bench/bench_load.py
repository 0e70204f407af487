"""Load: many MCP agents at once over streamable HTTP, against the reference
server (`--http`) on an engine served over HTTP (`python -m kelvo_mcp.engine
--latency-ms 2` and `20`), everything on 127.0.0.1.

Each row is one client mode, one engine latency and one number of agents.
The modes: "default", the SDK's client at its default settings (the
single-exchange era: `server/discover`, then calls without a session), each
agent naming itself in the `com.kelvo/agent` extension; "handshake", the SDK's
client in the handshake era (`initialize`, a session each). Each agent sends
the same mix over and over: a status call, a page read and a page listing
through the compact families, a doc read by name, a write that is read back
(a block rewritten, then the page read), a call the surface refuses and a
read of a page that does not exist (the engine's 404). The refusal and the
404 must come back as worded `isError` results; anything else that comes back
as an error, a write not read back as written, or a call that raises is
counted as an error. Agents are connected and warmed first; the figures cover
a fixed window after that.

Per row: calls per second, p50/p99 per call, errors, engine requests per
agent-minute (all of them, and those of the registry rescans alone), and the
time from connecting to the first tool result: for the first agent of a fresh
server (a cold scope: the scope opens on that first request) and the median
of the others (a warm scope). Our modules' share is measured the way
bench_server.py measures it (the six modules swapped for meters in the server
process). The soak runs 64 default-mode agents and samples the server's
resident memory every 10 s.

    python bench/run.py load
    python bench/bench_load.py [--seconds 6] [--agents 1,8,64] [--latencies 2,20] [--soak 300]
    KELVO_LOAD_SECONDS=6 KELVO_SOAK_SECONDS=300 python bench/run.py load
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import re
import statistics
import subprocess
import sys
import threading
import time
from collections.abc import AsyncIterator, Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import anyio

HERE = Path(__file__).resolve().parent
HOST = HERE.parent / "host"
START_SECONDS = 60
CALL_TIMEOUT = 120.0
MODULES = ("capabilities", "explain", "instructions", "lexicon", "refresh", "surfaces")


# -- the server process, metered -------------------------------------------------------

class Meter:
    """Seconds spent inside our modules, summed over threads, less the engine
    time met inside them (by_name holds the net times)."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.local = threading.local()
        self.by_name: dict[str, float] = {}
        self.engine_inside = 0.0
        self.requests = self.rescan_requests = 0

    def wrap(self, name: str, fn: Callable[..., Any]) -> Callable[..., Any]:
        def timed(*args: Any, **kwargs: Any) -> Any:
            local = self.local
            depth = getattr(local, "depth", 0)
            if depth:  # a module calling back into the host and on into a module counts once
                return fn(*args, **kwargs)
            local.depth, local.engine = 1, 0.0
            start = time.perf_counter()
            try:
                return fn(*args, **kwargs)
            finally:
                # The call's own time, less the engine's inside it, lands whole in one window.
                net = time.perf_counter() - start - local.engine
                local.depth = 0
                with self.lock:
                    self.by_name[name] = self.by_name.get(name, 0.0) + net
                    self.engine_inside += local.engine
        return timed

    def wrap_engine(self, fn: Callable[..., Any]) -> Callable[..., Any]:
        def timed(*args: Any, **kwargs: Any) -> Any:
            start = time.perf_counter()
            try:
                return fn(*args, **kwargs)
            finally:
                if getattr(self.local, "depth", 0):
                    self.local.engine += time.perf_counter() - start
        return timed

    def count_engine(self, fn: Callable[..., Any]) -> Callable[..., Any]:
        """Engine requests counted, those made inside a rescan apart."""
        def counted(*args: Any, **kwargs: Any) -> Any:
            with self.lock:
                self.requests += 1
                self.rescan_requests += getattr(self.local, "rescanning", False)
            return fn(*args, **kwargs)
        return counted

    def rescan(self, fn: Callable[..., Any]) -> Callable[..., Any]:
        def marked(*args: Any, **kwargs: Any) -> Any:
            self.local.rescanning = True
            try:
                return fn(*args, **kwargs)
            finally:
                self.local.rescanning = False
        return marked

    def take(self) -> dict[str, Any]:
        with self.lock:
            out = {"by_name": dict(self.by_name), "engine_inside": self.engine_inside,
                   "ours": sum(self.by_name.values()), "requests": self.requests,
                   "rescan_requests": self.rescan_requests}
            self.by_name.clear()
            self.engine_inside = 0.0
            self.requests = self.rescan_requests = 0
        return out


class Metered:
    """A module whose functions are timed; `RefreshState` makes timed timers."""

    def __init__(self, module: Any, meter: Meter) -> None:
        self._module, self._meter = module, meter
        self._short = module.__name__.rsplit(".", 1)[-1]

    def __getattr__(self, name: str) -> Any:
        value = getattr(self._module, name)
        if name == "RefreshState":
            return lambda *a, **k: MeteredTimer(value(*a, **k), self._meter)
        if callable(value) and not isinstance(value, type):
            return self._meter.wrap(f"{self._short}.{name}", value)
        return value


class MeteredTimer:
    def __init__(self, timer: Any, meter: Meter) -> None:
        self.tick = meter.wrap("RefreshState.tick", timer.tick)
        self.fired = meter.wrap("RefreshState.fired", timer.fired)
        self.failed = meter.wrap("RefreshState.failed", timer.failed)


def serve(engine_url: str, engine_threads: int) -> None:
    """The server process: the reference server's HTTP stack with metered
    modules, on the engine at `engine_url`. Answers "meter" on stdin with the
    meter's figures since the last one, as one JSON line."""
    sys.path.insert(0, str(HOST))
    from kelvo_mcp.listen import bind_socket, security_settings, serve_http
    from kelvo_mcp.server import cli, http_host, pipeline, sessions  # noqa: F401  # every module of the server

    meter = Meter()
    for mod_name, mod in list(sys.modules.items()):
        if mod_name.startswith("kelvo_mcp.server"):
            for name in MODULES:
                if hasattr(mod, name):
                    setattr(mod, name, Metered(getattr(mod, name), meter))
    engine = cli.open_engine(None, None, engine_url=engine_url)
    for name in ("whoami", "list_pages", "get_page", "create_page", "update_blocks", "append_blocks",
                 "write_blocks", "rename_page", "delete_page"):
        setattr(engine, name, meter.count_engine(meter.wrap_engine(getattr(engine, name))))
    sessions.rebuild_digest = meter.rescan(sessions.rebuild_digest)  # type: ignore[attr-defined]

    def commands() -> None:
        for line in sys.stdin:
            if line.strip() == "meter":
                print(json.dumps(meter.take()), flush=True)

    threading.Thread(target=commands, daemon=True).start()
    host = sessions.SessionHost(engine, "compact", engine_threads=engine_threads)
    sock = bind_socket("127.0.0.1:0")
    serve_http(http_host.http_app(host, security=security_settings("127.0.0.1")), sock)


# -- processes -----------------------------------------------------------------------------

class Child:
    """A child process whose first printed http:// URL is where it listens."""

    def __init__(self, args: list[str], *, commands: bool = False) -> None:
        env = dict(os.environ, SKBUILD_EDITABLE_SKIP="1")
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE if commands else subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
        self.url: str | None = None
        self.lines: list[str] = []
        found = threading.Event()

        def watch(stream: Any) -> None:
            for line in stream:
                self.lines.append(line)
                if self.url is None and (m := re.search(r"http://[^\s]+", line)):
                    self.url = m.group(0)
                    found.set()
            found.set()

        threading.Thread(target=watch, args=(self.proc.stderr,), daemon=True).start()
        if not commands:
            threading.Thread(target=watch, args=(self.proc.stdout,), daemon=True).start()
        if not found.wait(START_SECONDS) or self.url is None:
            self.stop()
            raise RuntimeError(f"{' '.join(args)} did not start:\n{''.join(self.lines)}")

    def ask(self, command: str) -> Any:
        assert self.proc.stdin is not None and self.proc.stdout is not None
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()
        return json.loads(self.proc.stdout.readline())

    def cpu_seconds(self) -> float:
        fields = Path(f"/proc/{self.proc.pid}/stat").read_text().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def rss_mib(self) -> float:
        status = Path(f"/proc/{self.proc.pid}/status").read_text()
        return int(re.search(r"VmRSS:\s+(\d+) kB", status).group(1)) / 1024  # type: ignore[union-attr]

    def stop(self) -> None:
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(10)


# -- the sessions ------------------------------------------------------------------------

@dataclass
class Stats:
    recording: bool = False
    times: list[float] = field(default_factory=list)
    errors: int = 0
    expected_errors: int = 0
    first_errors: list[str] = field(default_factory=list)
    # From connecting to the first tool result, per agent, in the order they came.
    first_results: list[float] = field(default_factory=list)

    def record(self, seconds: float, problem: str | None, expected_error: bool) -> None:
        # Errors count from the first call to the last; times and expected errors in the window only.
        if problem is not None:
            self.errors += 1
            if len(self.first_errors) < 5:
                self.first_errors.append(problem)
        if not self.recording:
            return
        self.times.append(seconds)
        if problem is None and expected_error:
            self.expected_errors += 1


@contextlib.asynccontextmanager
async def mcp_session(url: str, mode: str, n: int) -> AsyncIterator[Any]:
    """An agent: the SDK's client at its defaults naming itself in the
    com.kelvo/agent extension ("default"), or in the handshake era."""
    import httpx2
    from mcp import Client
    from mcp.client.extension import advertise
    from mcp.client.streamable_http import streamable_http_client

    options: dict[str, Any] = ({"mode": "legacy"} if mode == "handshake"
                               else {"extensions": [advertise("com.kelvo/agent", {"id": f"load-{n}"})]})
    async with httpx2.AsyncClient(timeout=httpx2.Timeout(CALL_TIMEOUT),
                                  limits=httpx2.Limits(max_connections=4)) as http:
        async with Client(streamable_http_client(url, http_client=http), read_timeout_seconds=CALL_TIMEOUT,
                          **options) as client:
            yield client


def body_of(result: Any) -> dict[str, Any]:
    return result.structured_content or {}


async def session_loop(url: str, mode: str, n: int, stats: Stats, ready: Callable[[], None],
                       stop: anyio.Event) -> None:
    start = time.perf_counter()
    async with mcp_session(url, mode, n) as c:
        made = body_of(await c.call_tool("kelvo_page_edit", {
            "op": "create", "title": f"load session {n}", "blocks": [{"text": "v0"}]}))
        stats.first_results.append(time.perf_counter() - start)
        page_id = made["page_id"]
        block_id = body_of(await c.call_tool("kelvo_page_read", {"op": "get", "page_id": page_id}))["blocks"][0][
            "block_id"]
        ready()
        i = 0
        while not stop.is_set():
            i += 1
            text = f"session {n} write {i}"
            mix: list[tuple[str, dict[str, Any], bool, Callable[[dict[str, Any]], bool]]] = [
                ("kelvo_status", {}, False, lambda b: b.get("profile") == "compact"),
                ("kelvo_page_read", {"op": "get", "page_id": "pg_0009"}, False,
                 lambda b: b.get("title") == "Sprint 42 planning notes"),
                ("kelvo_page_read", {"op": "list", "limit": 10}, False, lambda b: len(b.get("pages", [])) == 10),
                ("kelvo_docs_read", {"op": "get", "name": "testing-conventions"}, False,
                 lambda b: "Tests first" in b.get("body", "")),
                ("kelvo_page_edit", {"op": "update", "page_id": page_id,
                                     "updates": [{"block_id": block_id, "text": text}]}, False,
                 lambda b: b.get("updated") == 1),
                ("kelvo_page_read", {"op": "get", "page_id": page_id}, False, lambda b, text=text: b.get("text") == text),
                ("kelvo_page_read", {"op": "nope"}, True, lambda b: "op" in b.get("error", "")),
                ("kelvo_page_read", {"op": "get", "page_id": f"pg_gone_{n}"}, True,
                 lambda b: "404" in b.get("error", "")),
            ]
            for name, args, error_expected, check in mix:
                start = time.perf_counter()
                try:
                    result = await c.call_tool(name, args)
                except Exception as exc:  # the call itself failed: always an error
                    stats.record(time.perf_counter() - start, f"{name}: raised {type(exc).__name__}: {exc}",
                                 error_expected)
                    continue
                spent = time.perf_counter() - start
                body = body_of(result)
                problem = None
                if bool(result.is_error) != error_expected or not check(body):
                    problem = f"{name} {args}: {result.content[0].text[:200] if result.content else body}"
                stats.record(spent, problem, error_expected)


@dataclass
class Level:
    mode: str
    latency_ms: int
    agents: int
    calls: int
    seconds: float
    p50: float
    p99: float
    errors: int
    expected_errors: int
    share: float
    ours_per_call: float
    requests_per_agent_minute: float = 0.0
    rescan_requests_per_agent_minute: float = 0.0
    cold_first: float | None = None
    warm_first: float | None = None
    server_cpu: float = 0.0
    engine_cpu: float = 0.0
    rss: list[float] = field(default_factory=list)
    soak_seconds: float = 0.0
    first_errors: list[str] = field(default_factory=list)


async def run_level(server: Child, engine: Child, mode: str, latency_ms: int, agents: int, seconds: float,
                    soak: float = 0.0, cold: bool = False) -> Level:
    assert server.url is not None
    stats = Stats()
    stop = anyio.Event()
    opened = 0
    all_ready = anyio.Event()

    def ready() -> None:
        nonlocal opened
        opened += 1
        if opened == agents:
            all_ready.set()

    level: Level | None = None
    async with anyio.create_task_group() as tg:
        if cold:  # the first agent alone, on a fresh server: its first result waits for the scope to open
            tg.start_soon(session_loop, server.url, mode, 0, stats, ready, stop)
            with anyio.fail_after(START_SECONDS):
                while not stats.first_results:
                    await anyio.sleep(0.001)
        for n in range(1 if cold else 0, agents):
            tg.start_soon(session_loop, server.url, mode, n, stats, ready, stop)
        with anyio.fail_after(START_SECONDS * 2):
            await all_ready.wait()
        await anyio.sleep(min(2.0, seconds / 4))  # warm: every agent past its first rescan
        server.ask("meter")
        cpu = server.cpu_seconds(), engine.cpu_seconds()
        stats.recording = True
        start = time.perf_counter()
        await anyio.sleep(seconds)
        stats.recording = False
        wall = time.perf_counter() - start
        meter = server.ask("meter")
        cpu = server.cpu_seconds() - cpu[0], engine.cpu_seconds() - cpu[1]
        times = sorted(stats.times)
        firsts = stats.first_results
        agent_minutes = agents * wall / 60
        level = Level(mode, latency_ms, agents, len(times), wall, statistics.median(times) if times else 0.0,
                      times[min(len(times) - 1, int(len(times) * 0.99))] if times else 0.0,
                      stats.errors, stats.expected_errors, meter["ours"] / wall,
                      meter["ours"] / max(len(times), 1), meter["requests"] / agent_minutes,
                      meter["rescan_requests"] / agent_minutes,
                      firsts[0] if cold and firsts else None,
                      statistics.median(firsts[1:] if cold else firsts) if len(firsts) > (1 if cold else 0) else None,
                      cpu[0] / wall, cpu[1] / wall)
        if soak > 0:
            stats.recording = True
            end = time.perf_counter() + soak
            while time.perf_counter() < end:
                level.rss.append(server.rss_mib())
                await anyio.sleep(min(10.0, max(0.0, end - time.perf_counter())))
            level.rss.append(server.rss_mib())
            stats.recording = False
            level.soak_seconds = soak
        stop.set()
    assert level is not None
    level.errors, level.first_errors = stats.errors, list(stats.first_errors)
    return level


def measure(agent_counts: list[int], latencies: list[int], seconds: float, soak: float,
            engine_threads: int) -> list[Level]:
    py = sys.executable
    levels = []
    for latency in latencies:
        engine = Child([py, "-m", "kelvo_mcp.engine", "--listen", "127.0.0.1:0", "--latency-ms", str(latency)])
        try:
            for mode in ("default", "handshake"):
                server = Child([py, str(Path(__file__).resolve()), "--serve", str(engine.url),
                                "--engine-threads", str(engine_threads)], commands=True)
                try:
                    for i, count in enumerate(agent_counts):
                        levels.append(anyio.run(run_level, server, engine, mode, latency, count, seconds, 0.0,
                                                i == 0))
                        print_row(levels[-1])
                finally:
                    server.stop()
        finally:
            engine.stop()
    if soak > 0:
        engine = Child([py, "-m", "kelvo_mcp.engine", "--listen", "127.0.0.1:0", "--latency-ms", str(latencies[0])])
        try:
            server = Child([py, str(Path(__file__).resolve()), "--serve", str(engine.url),
                            "--engine-threads", str(engine_threads)], commands=True)
            try:
                level = anyio.run(run_level, server, engine, "default", latencies[0], agent_counts[-1], seconds,
                                  soak)
                levels.append(level)
                print(f"  soak: {level.agents} default-mode agents, {soak:g} s, engine {level.latency_ms} ms, "
                      f"{level.calls} calls, {level.errors} errors; server RSS MiB every 10 s:", flush=True)
                print("   ", " ".join(f"{r:.1f}" for r in level.rss), flush=True)
            finally:
                server.stop()
        finally:
            engine.stop()
    return levels


HEADER = (f"  {'mode':>9} {'engine':>6} {'agents':>6} {'calls/s':>8} {'p50 ms':>7} {'p99 ms':>7} {'errors':>6} "
          f"{'engine req/agent-min':>20} {'of which rescans':>16} {'first result cold/warm ms':>25} "
          f"{'our share':>9} {'CPU server/engine':>17}")


def print_row(lv: Level) -> None:
    ms = 1e3
    first = (f"{lv.cold_first * ms:.0f}" if lv.cold_first is not None else "-") + " / " + (
        f"{lv.warm_first * ms:.0f}" if lv.warm_first is not None else "-")
    print(f"  {lv.mode:>9} {lv.latency_ms:>4}ms {lv.agents:>6} {lv.calls / lv.seconds:>8.0f} {lv.p50 * ms:>7.1f} "
          f"{lv.p99 * ms:>7.1f} {lv.errors:>6} {lv.requests_per_agent_minute:>20.0f} "
          f"{lv.rescan_requests_per_agent_minute:>16.0f} {first:>25} {lv.share * 100:>8.2f}% "
          f"{lv.server_cpu * 100:>7.0f}%/{lv.engine_cpu * 100:>3.0f}%", flush=True)
    for problem in lv.first_errors:
        print(f"      error: {problem}", flush=True)


def report(agent_counts: list[int] | None = None, seconds: float | None = None, soak: float | None = None,
           latencies: list[int] | None = None, engine_threads: int = 16) -> list[Level]:
    seconds = seconds if seconds is not None else float(os.environ.get("KELVO_LOAD_SECONDS", "6"))
    soak = soak if soak is not None else float(os.environ.get("KELVO_SOAK_SECONDS", "0"))
    counts = agent_counts or [1, 8, 64]
    latencies = latencies or [2, 20]
    print(f"  streamable HTTP on 127.0.0.1, engine over HTTP at {'/'.join(map(str, latencies))} ms per request; "
          f"{seconds:g} s measured per row" + (f", then a {soak:g} s soak at {counts[-1]} agents" if soak else ""),
          flush=True)
    print(HEADER, flush=True)
    # The client's own first-use costs (imports, model building) kept out of the first agent's figures.
    from mcp import Client
    from mcp.client.extension import advertise

    Client("http://127.0.0.1:9/mcp", extensions=[advertise("com.kelvo/agent", {"id": "warm"})])
    Client("http://127.0.0.1:9/mcp", mode="legacy")
    return measure(counts, latencies, seconds, soak, engine_threads)


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(prog="bench_load.py")
    parser.add_argument("--agents", default="1,8,64", help="agent counts, comma-separated")
    parser.add_argument("--latencies", default="2,20", help="engine latencies in ms, comma-separated")
    parser.add_argument("--seconds", type=float, help="measured window per row (default 6, KELVO_LOAD_SECONDS)")
    parser.add_argument("--soak", type=float, help="soak at the last level, seconds (KELVO_SOAK_SECONDS)")
    parser.add_argument("--engine-threads", type=int, default=16)
    parser.add_argument("--serve", metavar="ENGINE_URL", help=argparse.SUPPRESS)
    ns = parser.parse_args(argv)
    if ns.serve:
        serve(ns.serve, ns.engine_threads)
        return 0
    levels = report([int(n) for n in ns.agents.split(",")], ns.seconds, ns.soak,
                    [int(n) for n in ns.latencies.split(",")], ns.engine_threads)
    return 1 if any(lv.errors for lv in levels) else 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
