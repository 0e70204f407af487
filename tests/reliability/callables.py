"""The six modules as the reliability checks see them: which of them import,
and every callable each one exposes, with the parameters it takes.

Callables are found on the module objects themselves (functions, record
types, classes and their methods), so a name added later is checked without
touching this file. Run as a script, it reports which modules import and
exits non-zero when one does not (unless KELVO_RELIABILITY_ALLOW_MISSING is
set, for trees where some modules are still being written).
"""

from __future__ import annotations

import ast
import dataclasses
import importlib
import inspect
import json
import os
import pathlib
import re
import sys
import types

HOST = pathlib.Path(__file__).resolve().parents[2] / "host"
if str(HOST) not in sys.path:
    sys.path.insert(0, str(HOST))

MODULES = ("lexicon", "refresh", "surfaces", "explain", "capabilities", "instructions")


def allow_missing() -> bool:
    return bool(os.environ.get("KELVO_RELIABILITY_ALLOW_MISSING"))


def load(name: str) -> tuple[types.ModuleType | None, str | None]:
    try:
        return importlib.import_module(f"kelvo_mcp.{name}"), None
    except Exception as exc:  # an unbuilt or broken module
        return None, f"{type(exc).__name__}: {exc}"


@dataclasses.dataclass
class Param:
    name: str
    kind: str  # "positional", "either" or "named"
    required: bool
    annotation: str = "object"


@dataclasses.dataclass
class Target:
    """One callable: `call(*args, **kwargs)`. For methods, `owner` names the
    class whose instances carry it and `call` is the unbound function."""

    label: str
    call: object
    params: list[Param]
    owner: type | None = None
    is_type: bool = False


_DEFAULT_REF = re.compile(r"\\\d+")


def _params_from_nb(sig: str) -> list[Param] | None:
    """Parameters of a nanobind signature line 'def f(a: T, /, *, b: U = \\0) -> R'."""
    text = _DEFAULT_REF.sub("...", sig.strip())
    text = text.split(" -> ")[0] if ") -> " in text else text
    try:
        fn = ast.parse(text + ": ...").body[0]
    except SyntaxError:
        return None
    if not isinstance(fn, ast.FunctionDef):
        return None
    a = fn.args
    out: list[Param] = []
    positional = a.posonlyargs + a.args
    n_default = len(a.defaults)
    for i, arg in enumerate(positional):
        kind = "positional" if i < len(a.posonlyargs) else "either"
        required = i < len(positional) - n_default
        ann = ast.unparse(arg.annotation) if arg.annotation else "object"
        out.append(Param(arg.arg, kind, required, ann))
    for arg, default in zip(a.kwonlyargs, a.kw_defaults):
        ann = ast.unparse(arg.annotation) if arg.annotation else "object"
        out.append(Param(arg.arg, "named", default is None, ann))
    # A method's first parameter is its instance.
    if out and out[0].name == "self":
        out = out[1:]
    return out


def _nb_params(obj: object) -> list[Param] | None:
    sigs = getattr(obj, "__nb_signature__", None)
    if not sigs:
        return None
    # Overloads: the longest parameter list covers the most positions.
    best = None
    for entry in sigs:
        params = _params_from_nb(entry[0])
        if params is not None and (best is None or len(params) > len(best)):
            best = params
    return best


_KINDS = {"POSITIONAL_ONLY": "positional", "POSITIONAL_OR_KEYWORD": "either", "KEYWORD_ONLY": "named"}


def _inspected_params(obj: object, method: bool = False) -> list[Param] | None:
    """Parameters from a text signature (types and methods written on the C API)."""
    try:
        sig = inspect.signature(obj)
    except (TypeError, ValueError):
        return None
    out = []
    for i, p in enumerate(sig.parameters.values()):
        if method and i == 0 and p.name in ("self", "$self"):
            continue
        if p.kind.name not in _KINDS:
            return None  # *args/**kwargs: nothing to go on
        out.append(Param(p.name, _KINDS[p.kind.name], p.default is inspect.Parameter.empty))
    return out


def _record_fields(cls: type) -> list[str] | None:
    fields = cls.__dict__.get("__match_args__")
    return list(fields) if isinstance(fields, tuple) else None


_RECORD_METHODS = ("__replace__", "__reduce__", "__eq__", "__ne__", "__lt__", "__le__",
                   "__gt__", "__ge__", "__hash__", "__repr__")


def targets(module: types.ModuleType) -> list[Target]:
    """Every callable of `module`, public and private, in name order."""
    name = module.__name__.rsplit(".", 1)[-1]
    out: list[Target] = []
    for attr in sorted(vars(module)):
        if attr.startswith("__"):
            continue
        obj = getattr(module, attr)
        label = f"{name}.{attr}"
        if isinstance(obj, type):
            if obj.__module__ != module.__name__ and not obj.__module__.startswith("kelvo_mcp"):
                continue
            fields = _record_fields(obj)
            init = obj.__dict__.get("__init__")
            params = _nb_params(init) if init is not None else None
            if params is None and fields is not None:
                params = [Param(f, "either", False) for f in fields]
            if params is None:
                params = _inspected_params(obj)
            out.append(Target(label, obj, params or [], is_type=True))
            for meth_name, meth in sorted(vars(obj).items()):
                if meth_name in ("__init__", "__new__"):
                    continue
                if meth_name.startswith("__") and meth_name not in _RECORD_METHODS:
                    continue
                if isinstance(meth, (property, types.GetSetDescriptorType, types.MemberDescriptorType)):
                    continue
                if not callable(meth) and not hasattr(meth, "__get__"):
                    continue
                mparams = _nb_params(meth)
                if mparams is None and not meth_name.startswith("__"):
                    mparams = _inspected_params(meth, method=True)
                if mparams is None:
                    if meth_name == "__replace__":
                        mparams = [Param(f, "named", False) for f in (fields or [])]
                    elif meth_name in ("__reduce__", "__hash__", "__repr__"):
                        mparams = []
                    elif meth_name.startswith("__"):
                        mparams = [Param("other", "positional", True)]
                    else:
                        mparams = []
                out.append(Target(f"{label}.{meth_name}", meth, mparams, owner=obj))
        elif callable(obj) and not isinstance(obj, types.ModuleType):
            params = _nb_params(obj)
            if params is None:
                continue  # not one of ours (an imported helper)
            out.append(Target(label, obj, params))
    return out


def loaded() -> dict[str, types.ModuleType]:
    """The modules that import, in order; raises when one does not import and
    missing modules are not allowed."""
    mods: dict[str, types.ModuleType] = {}
    for name in MODULES:
        mod, err = load(name)
        if mod is None:
            if not allow_missing():
                raise ImportError(f"kelvo_mcp.{name} does not import: {err}")
            continue
        mods[name] = mod
    return mods


def main(argv: list[str]) -> int:
    report: dict[str, object] = {}
    missing = []
    for name in MODULES:
        mod, err = load(name)
        if mod is None:
            missing.append(name)
            report[name] = {"imports": False, "error": err}
        else:
            report[name] = {"imports": True, "callables": len(targets(mod))}
    if "--report" in argv:
        out = pathlib.Path(argv[argv.index("--report") + 1])
        out.parent.mkdir(parents=True, exist_ok=True)
        out.write_text(json.dumps(report, indent=1))
    for name, entry in report.items():
        state = f"{entry['callables']} callables" if entry["imports"] else f"MISSING ({entry['error']})"
        print(f"  kelvo_mcp.{name}: {state}")
    if missing and not allow_missing():
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
