"""The record types (DocInfo, DocsConfig, SurfaceTool, Capabilities) show
their constructor at the REPL as their stubs declare it: inspect.signature
and help() give the fields in order, with their defaults."""

import ast
import importlib
import inspect
import pathlib
import pydoc

import pytest

STUBS = pathlib.Path(__file__).resolve().parent.parent / "src" / "kelvo_mcp"


def stub_records(module: str) -> dict[str, ast.FunctionDef]:
    """The __new__ of each record type (a class with __match_args__) of a stub."""
    found = {}
    for node in ast.parse((STUBS / f"{module}.pyi").read_text()).body:
        if isinstance(node, ast.ClassDef) and any(
                isinstance(i, ast.Assign) and getattr(i.targets[0], "id", "") == "__match_args__" for i in node.body):
            found[node.name] = next(i for i in node.body if isinstance(i, ast.FunctionDef) and i.name == "__new__")
    return found


@pytest.mark.parametrize("module", ["refresh", "surfaces", "capabilities"])
def test_record_types_show_their_fields_as_the_stub_does(module):
    mod = importlib.import_module(f"kelvo_mcp.{module}")
    records = stub_records(module)
    assert records
    for name, new in records.items():
        cls = getattr(mod, name)
        params = list(inspect.signature(cls).parameters.values())
        args = new.args.args[1:]  # after cls
        defaults = dict(zip([a.arg for a in args][len(args) - len(new.args.defaults):], new.args.defaults))
        assert [(p.name, p.kind, p.default is not p.empty) for p in params] == [
            (a.arg, inspect.Parameter.POSITIONAL_OR_KEYWORD, a.arg in defaults) for a in args], name
        for field, default in defaults.items():
            if not (isinstance(default, ast.Constant) and default.value is ...):  # `...`: any default
                assert params[[p.name for p in params].index(field)].default == ast.literal_eval(default), name
        # help(): the signature line, each field in order with its default,
        # then the type's own text.
        shown = pydoc.plain(pydoc.render_doc(cls))
        at = shown.index(f"{name}(")
        for p in params:
            at = shown.index(str(p), at)
        assert cls.__doc__ and cls.__doc__ in shown and not cls.__doc__.startswith(name + "(")
