"""The typed stubs in src/kelvo_mcp agree with the built modules, and a host
script that uses the modules type-checks under `mypy --strict`.

stubtest cannot read a signature off a nanobind function (it is an `nb_func`
object, not a Python function, and `inspect.signature` sees `*args,
**kwargs`), so every nanobind callable is allowlisted for stubtest and its
parameters are instead compared with the binding's own `__nb_signature__`:
names, order, positional-only / keyword-only and which ones have defaults.
"""

import ast
import importlib
import os
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
STUBS = ROOT / "src" / "kelvo_mcp"
CONFIG = pathlib.Path(__file__).resolve().parent / "mypy.ini"
MODULES = ["lexicon", "refresh", "surfaces", "explain", "capabilities", "instructions"]


def _env() -> dict[str, str]:
    env = dict(os.environ)
    env["SKBUILD_EDITABLE_SKIP"] = "1"  # never rebuild on import from a test
    return env


def _load(module: str):
    try:
        return importlib.import_module(f"kelvo_mcp.{module}")
    except ImportError as e:  # the module is not built yet
        pytest.skip(f"kelvo_mcp.{module} does not import: {e}")


def _is_nanobind(obj) -> bool:
    return type(obj).__name__ in ("nb_func", "nb_method", "nb_bound_method")


def _nanobind_callables(mod):
    """(dotted path, callable) of every nanobind function and method."""
    for name, obj in vars(mod).items():
        if _is_nanobind(obj):
            yield f"{mod.__name__}.{name}", obj
        elif isinstance(obj, type) and obj.__module__ == mod.__name__:
            for attr, member in vars(obj).items():
                if _is_nanobind(member):
                    yield f"{mod.__name__}.{name}.{attr}", member


@pytest.mark.parametrize("module", MODULES)
def test_stubtest_passes(module, tmp_path):
    mod = _load(module)
    allow = tmp_path / "allowlist.txt"
    allow.write_text("".join(re.escape(path) + "\n" for path, _ in _nanobind_callables(mod)))
    run = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", f"kelvo_mcp.{module}",
         "--mypy-config-file", str(CONFIG), "--allowlist", str(allow),
         "--ignore-unused-allowlist"],
        cwd=tmp_path, env=_env(), capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr


# -- parameters of nanobind callables against the stubs ---------------------

def _params(args: ast.arguments) -> list[tuple[str, str, bool]]:
    """(name, kind, has default) for each parameter, in order."""
    out = []
    positional = args.posonlyargs + args.args
    first_default = len(positional) - len(args.defaults)
    for i, a in enumerate(positional):
        kind = "positional-only" if i < len(args.posonlyargs) else "either"
        out.append((a.arg, kind, i >= first_default))
    if args.vararg:
        out.append((args.vararg.arg, "*args", False))
    for a, d in zip(args.kwonlyargs, args.kw_defaults):
        out.append((a.arg, "keyword-only", d is not None))
    if args.kwarg:
        out.append((args.kwarg.arg, "**kwargs", False))
    return out


def _stub_functions(module: str) -> dict[str, ast.arguments]:
    tree = ast.parse((STUBS / f"{module}.pyi").read_text())
    found = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            found[f"kelvo_mcp.{module}.{node.name}"] = node.args
        elif isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    found[f"kelvo_mcp.{module}.{node.name}.{item.name}"] = item.args
    return found


def _binding_params(obj) -> list[tuple[str, str, bool]] | None:
    """Parameters from nanobind's own signature text, or None when it has
    several overloads or its text is not Python syntax."""
    sigs = getattr(obj, "__nb_signature__", ())
    if len(sigs) != 1:
        return None
    text = sigs[0][0]
    # nanobind writes each default as a placeholder such as "\\0"; only its
    # presence matters here.
    text = re.sub(r"\\\d+", "...", text)
    try:
        fn = ast.parse(text + ": ...").body[0]
    except SyntaxError:
        return None
    assert isinstance(fn, ast.FunctionDef)
    params = _params(fn.args)
    if params and params[0][0] == "self":
        params = params[1:]
    return params


@pytest.mark.parametrize("module", MODULES)
def test_stub_parameters_match_the_bindings(module):
    mod = _load(module)
    stubs = _stub_functions(module)
    mismatches = []
    compared = 0
    for path, obj in _nanobind_callables(mod):
        if path not in stubs:
            continue  # stubtest reports names the stub lacks
        bound = _binding_params(obj)
        if bound is None:
            continue
        compared += 1
        declared = _params(stubs[path])
        if declared and declared[0][0] in ("self", "cls"):
            declared = declared[1:]
        if declared != bound:
            mismatches.append(f"{path}:\n  stub    {declared}\n  binding {bound}")
    assert not mismatches, "\n".join(mismatches)
    assert compared, "no binding signature could be read"


# -- what help() shows ---------------------------------------------------------

def _shape(fn: ast.FunctionDef, defaults_from: ast.FunctionDef | None = None) -> str:
    """The def line as one normalised text; a stub's `...` default takes the
    binding's (a stub need not spell the real default)."""
    if defaults_from is not None:
        for mine, theirs in ((fn.args.defaults, defaults_from.args.defaults),
                             (fn.args.kw_defaults, defaults_from.args.kw_defaults)):
            for i, d in enumerate(mine):
                if isinstance(d, ast.Constant) and d.value is ... and i < len(theirs):
                    mine[i] = theirs[i]
    fn.body, fn.decorator_list = [ast.Expr(ast.Constant(...))], []
    return ast.unparse(fn).split("\n")[0]


@pytest.mark.parametrize("module", MODULES)
def test_help_shows_the_stub_signature(module):
    # The first line of each function's __doc__ is what help() and an IDE's
    # hover show: the parameter and return types the stub declares, not
    # nanobind's `object | None` for every parameter.
    mod = _load(module)
    tree = ast.parse((STUBS / f"{module}.pyi").read_text())
    stubs = {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}
    checked, wrong = 0, []
    for name, obj in vars(mod).items():
        if not _is_nanobind(obj) or name not in stubs:
            continue
        line = obj.__doc__.splitlines()[0]
        bound = ast.parse(f"def {line}: ...").body[0]
        assert isinstance(bound, ast.FunctionDef)
        if _shape(stubs[name], bound) != _shape(bound):
            wrong.append(f"{name}:\n  stub  {_shape(stubs[name], bound)}\n  help  {_shape(bound)}")
        checked += 1
    assert not wrong, "\n".join(wrong)
    assert checked


# -- a host script under mypy --strict --------------------------------------

@pytest.mark.parametrize("version", ["3.14", "3.15"])
def test_host_code_type_checks_strictly(tmp_path, version):
    # A small host script, and the walkthrough, which drives all six modules,
    # for each CPython the wheels are built for.
    scripts = [pathlib.Path(__file__).resolve().parent / "host_example.py",
               ROOT / "host" / "kelvo_mcp" / "demo.py"]
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--config-file", str(CONFIG), "--python-version", version,
         "--cache-dir", str(tmp_path / "cache"), *map(str, scripts)],
        cwd=ROOT, env=_env(), capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr


def test_strict_check_catches_a_misuse(tmp_path):
    # Guards the set-up itself: if mypy stopped finding the stubs, every
    # module would be Any and the strict check above would pass vacuously.
    bad = tmp_path / "misuse.py"
    bad.write_text("from kelvo_mcp.lexicon import utf16_len\n\nn: str = utf16_len(3)\n")
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--config-file", str(CONFIG),
         "--cache-dir", str(tmp_path / "cache"), str(bad)],
        cwd=ROOT, env=_env(), capture_output=True, text=True)
    assert run.returncode == 1, run.stdout + run.stderr
    assert 'incompatible type "int"' in run.stdout
    assert "Incompatible types in assignment" in run.stdout
