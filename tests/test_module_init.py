"""A module's tables are built once per process and read by every thread
without a lock, so initialising a module a second time (a re-import after
`del sys.modules[...]`) is refused, and the module already loaded keeps
working."""

import os
import subprocess
import sys
import textwrap

MODULES = ["lexicon", "refresh", "surfaces", "explain", "capabilities", "instructions"]

SCRIPT = textwrap.dedent("""
    import importlib, sys
    for name in {modules!r}:
        first = importlib.import_module("kelvo_mcp." + name)
        del sys.modules["kelvo_mcp." + name]
        try:
            importlib.import_module("kelvo_mcp." + name)
        except ImportError as e:
            print(name, "refused:", e.__cause__ or e)
        else:
            print(name, "initialised twice")
        sys.modules["kelvo_mcp." + name] = first
    from kelvo_mcp import explain, lexicon, refresh
    print(explain._clean(" Bearer x  y "), lexicon.utf16_len("\\U0001f600"), refresh.valid_name("a"))
""")


def test_a_second_initialisation_is_refused_and_the_first_module_still_works():
    run = subprocess.run([sys.executable, "-c", SCRIPT.format(modules=MODULES)], capture_output=True, text=True,
                         env=os.environ.copy(), timeout=120)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert lines[:-1] == [
        f"{name} refused: kelvo_mcp.{name} is already initialised in this process and cannot be initialised again"
        for name in MODULES]
    assert lines[-1] == "<redacted> y 2 True"
