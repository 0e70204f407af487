"""Runs one fuzz target under libFuzzer: `run.py TARGET [libFuzzer arguments]`.

scripts/fuzz calls this with the sanitizer runtime preloaded; the target is
the function `target_TARGET` of one of the tests/fuzz/fuzz_<module>.py files.
"""

import importlib
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
# The drawing helpers, and the plain-Python models that the ordinary suite
# keeps beside its tests (the targets compare against them).
sys.path[:0] = [str(HERE)] + [str(HERE.parent / d) for d in ("refresh", "surfaces", "explain", "instructions")]

import atheris  # noqa: E402


def find(name):
    for path in sorted(HERE.glob("fuzz_*.py")):
        if f"\ndef target_{name}(" in path.read_text():
            return getattr(importlib.import_module(path.stem), "target_" + name)
    sys.exit(f"no fuzz target {name!r}")


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    target = find(sys.argv[1])
    # The modules are imported above, before libFuzzer starts, so their
    # coverage counters are registered from the first input on.
    atheris.Setup([sys.argv[0], *sys.argv[2:]], target)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
