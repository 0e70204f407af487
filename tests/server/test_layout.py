"""The reference host reads as rooms: every module under host/ is small enough
to read whole, and no module imports one that imports it back (an import
made inside a function counts too)."""

import ast
import pathlib

HOST = pathlib.Path(__file__).resolve().parents[2] / "host"
MAX_LINES = 420


def _modules() -> dict[str, pathlib.Path]:
    found = {}
    for path in sorted((HOST / "kelvo_mcp").rglob("*.py")):
        parts = list(path.relative_to(HOST).with_suffix("").parts)
        if parts[-1] == "__init__":
            parts.pop()
        found[".".join(parts)] = path
    return found


def _imports(path: pathlib.Path, name: str, known: dict[str, pathlib.Path]) -> set[str]:
    out = set()
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            targets = [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                base = ".".join(package.split(".")[:len(package.split(".")) - node.level + 1] + ([base] if base else []))
            targets = [f"{base}.{alias.name}" if f"{base}.{alias.name}" in known else base for alias in node.names]
        else:
            continue
        out |= {t for t in targets if t in known and t != name}
    return out


def test_no_module_imports_one_that_imports_it_back():
    known = _modules()
    graph = {name: _imports(path, name, known) for name, path in known.items()}
    cycles = []

    def walk(node, trail):
        for nxt in graph[node]:
            if nxt in trail:
                cycles.append(" -> ".join([*trail[trail.index(nxt):], nxt]))
            elif len(trail) < len(graph):
                walk(nxt, [*trail, nxt])

    for start in graph:
        walk(start, [start])
    assert not cycles, sorted(set(cycles))[:5]


def test_engine_interface_imports_nothing_of_ours():
    known = _modules()
    assert _imports(known["kelvo_mcp.engine.api"], "kelvo_mcp.engine.api", known) == set()
    # The engine side never reaches into the MCP server.
    for name, path in known.items():
        if name.startswith("kelvo_mcp.engine"):
            assert not any(t.startswith("kelvo_mcp.server") for t in _imports(path, name, known)), name


def test_every_module_can_be_read_whole():
    long = {str(p.relative_to(HOST)): n for p in _modules().values()
            if (n := len(p.read_text(encoding="utf-8").splitlines())) > MAX_LINES}
    assert not long
