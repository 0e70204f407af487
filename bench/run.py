"""Run the benchmarks: `python bench/run.py [module ...]` (default: all).

Each bench_<module>.py defines `workloads()`, returning a list of
harness.Workload; this runner times them and prints our time, the floor
and the ratio, each also in units of one len() call. bench_server.py (the
reference server, end to end) defines `report()` instead, which measures and
prints on its own, and so does bench_load.py (many sessions over streamable
HTTP against an engine process), which runs only when named:
`python bench/run.py load` (KELVO_LOAD_SECONDS, KELVO_SOAK_SECONDS), as does
bench_engine.py (the engine over HTTP beside large bodies): `python
bench/run.py engine`."""

from __future__ import annotations

import importlib
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "host")]

import harness  # noqa: E402

MODULES = ["lexicon", "refresh", "surfaces", "explain", "capabilities", "instructions", "server"]
# Benchmarks that start processes and run for a while: only when named.
ON_REQUEST = ["load", "engine", "shares", "store"]


def main(argv: list[str]) -> int:
    wanted = argv or MODULES
    print("figures: best per call; len = one len() of a 5-character str, timed beside each workload;"
          " units and ratios net of the empty call", flush=True)
    for name in wanted:
        path = HERE / f"bench_{name}.py"
        if not path.exists():
            continue
        print(f"== {name}", flush=True)
        bench = importlib.import_module(f"bench_{name}")
        if hasattr(bench, "report"):
            bench.report()
        else:
            harness.run(bench.workloads())
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
