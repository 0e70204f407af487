"""Print the figures the reliability checks left in build/reliability/.

    python summary.py build/reliability
"""

from __future__ import annotations

import json
import pathlib
import sys
import xml.etree.ElementTree as ET


def _load(path: pathlib.Path):
    try:
        return json.loads(path.read_text())
    except (OSError, ValueError):
        return None


def _junit(path: pathlib.Path) -> str | None:
    try:
        suite = ET.parse(path).getroot()
    except (OSError, ET.ParseError):
        return None
    suite = suite if suite.tag == "testsuite" else suite.find("testsuite")
    a = {k: int(suite.get(k, 0)) for k in ("tests", "failures", "errors", "skipped")}
    return (f"{a['tests']} tests, {a['tests'] - a['failures'] - a['errors'] - a['skipped']} passed, "
            f"{a['failures'] + a['errors']} failed, {a['skipped']} skipped, {float(suite.get('time', 0)):.0f}s")


def main(out: pathlib.Path) -> None:
    print("\n== reliability figures")
    for variant in ("debug", "asan"):
        line = _junit(out / f"{variant}-suite.xml")
        if line:
            print(f"  suite under {'python3.14d' if variant == 'debug' else 'ASan+UBSan'}: {line}")
    leaks = _load(out / "leaks.json")
    if leaks:
        print(f"  leak check, each test repeated: {leaks['tests']} tests, {len(leaks['leaking'])} leaking, "
              f"{len(leaks['unrepeatable'])} not repeatable, {len(leaks.get('too_slow_to_repeat', {}))} too slow to repeat, last-round refcount delta summed "
              f"{leaks['sum_of_last_round_deltas']} (largest {leaks['max_last_round_delta']})")
    calls = _load(out / "leaks-calls.json")
    if calls:
        for m, f in calls.items():
            print(f"  leak check, per call: {m}: {f['calls per round']} calls a round, deltas {f['deltas']}")
    count = out / "sanitizer-report-count"
    if count.exists():
        print(f"  sanitizer reports: {count.read_text().strip()}")
    for variant in ("debug", "asan", "default"):
        h = _load(out / f"hostile-{variant}.json")
        if h:
            print(f"  hostile sweep ({variant}): {h['calls']} calls; outcomes {h['outcomes']}")
        t = _load(out / f"threads-{variant}.json")
        if t:
            runs = sum(v["runs"] for k, v in t.items() if k != "RefreshState")
            print(f"  threads ({variant}): {runs} concurrent calls over "
                  f"{sum(v['callables'] for k, v in t.items() if k != 'RefreshState')} callables")
            for scenario, r in t.get("RefreshState", {}).items():
                print(f"    RefreshState {scenario}: {r}")
    try:
        fuzz = (out / "fuzz-results.tsv").read_text().splitlines()
    except OSError:
        fuzz = []
    if fuzz:
        print("  fuzz targets from their seeds:")
        for line in fuzz:
            print("    " + line)


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1]))
