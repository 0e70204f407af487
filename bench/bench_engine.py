"""The engine over HTTP (`python -m kelvo_mcp.engine`, in memory, on
127.0.0.1): how long small requests wait while large bodies go through.

Four clients ask for `whoami` over and over while one client writes a page
of about 14 MB and reads it back, several times (that client in a process
of its own). The engine parses and writes JSON on the worker thread that
serves the call, not on the event loop; under the GIL the C codec still
holds the interpreter for each whole parse or write, which is what the
small requests' worst case is left with. Printed: the small requests'
median, p99 and worst latency alone, then beside the large bodies. Run
with `python bench/run.py engine` (only when named)."""

from __future__ import annotations

import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

import httpx
from bench_load import Child

SMALL_CLIENTS = 4
LARGE_ROUNDS = 4
LARGE_BLOCKS = 14_000  # x about 1 KB of JSON each
SECONDS_ALONE = 2.0


def _small(url: str, stop: threading.Event, out: list[float]) -> None:
    with httpx.Client(base_url=url, timeout=60) as http:
        while not stop.is_set():
            start = time.perf_counter()
            http.get("/canvases/agent_docs/whoami").raise_for_status()
            out.append(time.perf_counter() - start)


def _large(url: str) -> None:
    blocks = [{"block_type": "paragraph", "text": f"{i:06d} " + "x" * 960} for i in range(LARGE_BLOCKS)]
    with httpx.Client(base_url=url, timeout=120) as http:
        for _ in range(LARGE_ROUNDS):
            made = http.post("/canvases/agent_docs/pages", json={"title": "large", "blocks": blocks})
            page_id = made.raise_for_status().json()["page_id"]
            http.get(f"/canvases/agent_docs/pages/{page_id}").raise_for_status()
            http.delete(f"/canvases/agent_docs/pages/{page_id}").raise_for_status()


def _run(url: str, large: bool) -> tuple[list[float], float]:
    stop, out = threading.Event(), []
    threads = [threading.Thread(target=_small, args=(url, stop, out)) for _ in range(SMALL_CLIENTS)]
    for t in threads:
        t.start()
    if large:
        # Its own process: building and reading 14 MB of JSON here would stall the small clients' threads.
        start = time.perf_counter()
        subprocess.run([sys.executable, str(Path(__file__).resolve()), url], check=True)
        spent = time.perf_counter() - start
    else:
        time.sleep(SECONDS_ALONE)
        spent = SECONDS_ALONE
    stop.set()
    for t in threads:
        t.join()
    return out, spent


def report() -> None:
    engine = Child([sys.executable, "-m", "kelvo_mcp.engine", "--listen", "127.0.0.1:0"])
    try:
        _run(engine.url, large=False)  # warm up
        for label, large in (("alone", False), (f"beside {LARGE_ROUNDS} x 14 MB write+read", True)):
            times, spent = _run(engine.url, large)
            ms = sorted(t * 1000 for t in times)
            print(f"  whoami x{SMALL_CLIENTS} clients, {label:<32} {len(ms):6d} requests in {spent:5.1f} s: "
                  f"median {statistics.median(ms):6.2f} ms, p99 {ms[int(len(ms) * 0.99)]:7.2f} ms, "
                  f"worst {ms[-1]:7.2f} ms", flush=True)
    finally:
        engine.stop()


if __name__ == "__main__":
    _large(sys.argv[1])
