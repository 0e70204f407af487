"""The host reaches the SDK through its public API only: in every module that
imports the SDK or the web stack under it, a name with a leading underscore
is read only on the module's own objects (`self`, `cls`) and on our own
modules, never on an object the SDK hands over (`ctx.session._connection`),
whether written as an attribute or as a string given to getattr."""

import ast
import pathlib

HOST = pathlib.Path(__file__).resolve().parents[2] / "host" / "kelvo_mcp"
THIRD_PARTY = ("mcp", "mcp_types", "starlette", "uvicorn", "httpx2")


def _imports_sdk(tree: ast.Module) -> bool:
    for node in ast.walk(tree):
        names = ([a.name for a in node.names] if isinstance(node, ast.Import)
                 else [node.module or ""] if isinstance(node, ast.ImportFrom) else [])
        if any(n.split(".")[0] in THIRD_PARTY for n in names):
            return True
    return False


def _ours(tree: ast.Module) -> set[str]:
    """Names the module binds to our own modules and objects: `self`, `cls`
    and whatever it imports from kelvo_mcp."""
    ours = {"self", "cls"}
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom) and (node.module or "").startswith("kelvo_mcp"):
            ours |= {a.asname or a.name for a in node.names}
        elif isinstance(node, ast.Import):
            ours |= {(a.asname or a.name).split(".")[0] for a in node.names if a.name.startswith("kelvo_mcp")}
    return ours


def private_reads(source: str) -> list[str]:
    """Each read of an underscored name on something not ours, as `line: base._name`."""
    tree = ast.parse(source)
    if not _imports_sdk(tree):
        return []
    ours = _ours(tree)
    found = []
    for node in ast.walk(tree):
        if isinstance(node, ast.Attribute):
            base, name = node.value, node.attr
        elif (isinstance(node, ast.Call) and isinstance(node.func, ast.Name)
              and node.func.id in ("getattr", "setattr", "hasattr", "delattr") and len(node.args) >= 2
              and isinstance(node.args[1], ast.Constant) and isinstance(node.args[1].value, str)):
            base, name = node.args[0], node.args[1].value
        else:
            continue
        if not name.startswith("_") or (name.startswith("__") and name.endswith("__")):
            continue
        if isinstance(base, ast.Name) and base.id in ours:
            continue
        found.append(f"{node.lineno}: {ast.unparse(base)}.{name}")
    return found


def test_no_module_reads_a_private_name_of_the_sdk():
    found = {str(path.relative_to(HOST)): reads for path in sorted(HOST.rglob("*.py"))
             if (reads := private_reads(path.read_text(encoding="utf-8")))}
    assert found == {}


def test_the_scan_catches_what_it_is_for():
    head = "from mcp.server import Server\nfrom kelvo_mcp import refresh\n"
    assert private_reads(head + "state = ctx.session._connection.state\n") == ["3: ctx.session._connection"]
    assert private_reads(head + "c = getattr(ctx.session, '_connection', None)\n") == [
        "3: ctx.session._connection"]
    assert private_reads(head + "server._request_handlers.clear()\n") == ["3: server._request_handlers"]
    # Our own objects and modules, dunders, and modules that never see the SDK are left alone.
    assert private_reads(head + "self._tasks = refresh._truncated_body\nx = ctx.__class__\n") == []
    assert private_reads("engine._next_id += 1\n") == []
