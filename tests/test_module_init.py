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


# Each module with something its first import reads: a host module of its
# own, or a library it takes a function from. None in sys.modules makes that
# import fail as a broken or missing module would.
BLOCKED = {
    "lexicon": "json",
    "refresh": "hashlib",
    "surfaces": "kelvo_mcp.tools",
    "explain": "httpx",
    "capabilities": "httpx",
    "instructions": "kelvo_mcp.prompts",
}

RETRY = textwrap.dedent("""
    import importlib, sys
    name, blocked = {name!r}, {blocked!r}
    saved = sys.modules.get(blocked)
    sys.modules[blocked] = None
    for attempt in (1, 2):
        try:
            importlib.import_module("kelvo_mcp." + name)
        except ImportError as e:
            cause = e.__cause__ or e
            print(attempt, type(cause).__name__, cause)
        else:
            print(attempt, "imported")
    if saved is None:
        del sys.modules[blocked]
    else:
        sys.modules[blocked] = saved
    mod = importlib.import_module("kelvo_mcp." + name)
    print("then", mod.__name__, mod.__doc__ is not None)
    del sys.modules["kelvo_mcp." + name]
    try:
        importlib.import_module("kelvo_mcp." + name)
    except ImportError as e:
        print("again", e.__cause__ or e)
""")


def test_a_failed_first_import_fails_again_with_its_own_error_then_succeeds():
    for name, blocked in BLOCKED.items():
        run = subprocess.run([sys.executable, "-c", RETRY.format(name=name, blocked=blocked)], check=False,
                             capture_output=True, text=True, env=os.environ.copy(), timeout=120)
        assert run.returncode == 0, run.stderr
        halted = f"ModuleNotFoundError import of {blocked} halted; None in sys.modules"
        assert run.stdout.splitlines() == [
            f"1 {halted}", f"2 {halted}", f"then kelvo_mcp.{name} True",
            f"again kelvo_mcp.{name} is already initialised in this process and cannot be initialised again",
        ], name


SURFACES_RETRY = textwrap.dedent("""
    import sys
    from kelvo_mcp import tools
    by_name = tools._BY_NAME
    tools._BY_NAME = {}                      # fails after the family table is filled
    try:
        import kelvo_mcp.surfaces
    except ImportError as e:
        print(type(e.__cause__).__name__)
    tools._BY_NAME = by_name
    from kelvo_mcp import surfaces
    compact = surfaces.build_surface("compact")
    print(len(surfaces.FAMILIES), sum(t.name in {f[0] for f in surfaces.FAMILIES.values()} for t in compact))
    print(surfaces.resolve_call(compact, "kelvo_page_read", {"op": "get", "page_id": "p"}))
""")


def test_a_load_that_failed_part_way_leaves_nothing_behind():
    run = subprocess.run([sys.executable, "-c", SURFACES_RETRY], check=False, capture_output=True, text=True,
                         env=os.environ.copy(), timeout=120)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert lines[0] == "KeyError"
    assert lines[1].split()[0] == "7"
    assert lines[2] == "('kelvo_page_get', {'page_id': 'p'})"
