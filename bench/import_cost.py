"""What loading the six modules costs a host: the wall time of importing them
and the resident memory they add, each run in a fresh interpreter.

    .venv-wheel/bin/python bench/import_cost.py          # the installed wheel (scripts/test-wheel makes it)
    .venv-wheel/bin/python bench/import_cost.py --runs 50

What the host has loaded anyway is imported first and not counted: httpx,
json and re, and the host modules the modules read at load (the tool
catalogue, prompts and runtime errors; here the stand-ins from host/). Run it
with the interpreter of the installed wheel: the developer build's editable
finder adds its own work to every import.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import statistics
import subprocess
import sys

HOST = pathlib.Path(__file__).resolve().parent.parent / "host"
MODULES = ["lexicon", "refresh", "surfaces", "explain", "capabilities", "instructions"]

# One run, in a fresh interpreter: the host's own imports, then each module
# timed on its own, with the resident set read from the kernel around all six.
ONE_RUN = """
import importlib, json, re, sys, time
import httpx
sys.path.insert(0, {host!r})
import kelvo_mcp.tools, kelvo_mcp.runtime, kelvo_mcp.prompts

def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])

before = rss_kib()
times = {{}}
for name in {modules!r}:
    t0 = time.perf_counter_ns()
    mod = importlib.import_module("kelvo_mcp." + name)
    times[name] = time.perf_counter_ns() - t0
after = rss_kib()
print(json.dumps({{"ns": times, "rss_kib": after - before, "file": mod.__file__}}))
"""


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=30)
    args = parser.parse_args(argv)
    code = ONE_RUN.format(host=str(HOST), modules=MODULES)
    runs = []
    for _ in range(args.runs):
        out = subprocess.run([sys.executable, "-c", code],
                             capture_output=True, text=True, check=True)
        runs.append(json.loads(out.stdout))
    print(f"modules from {pathlib.Path(runs[0]['file']).parent}; {args.runs} fresh interpreters")
    print(f"{'module':<14}{'median':>10}{'best':>10}")
    totals = [sum(r["ns"].values()) for r in runs]
    for name in MODULES:
        ns = [r["ns"][name] for r in runs]
        print(f"{name:<14}{statistics.median(ns) / 1e6:>8.2f} ms{min(ns) / 1e6:>8.2f} ms")
    print(f"{'all six':<14}{statistics.median(totals) / 1e6:>8.2f} ms{min(totals) / 1e6:>8.2f} ms"
          "   (goal: under 10 ms together)")
    rss = [r["rss_kib"] for r in runs]
    print(f"resident memory added: median {statistics.median(rss) / 1024:.1f} MiB, "
          f"least {min(rss) / 1024:.1f} MiB")
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
