"""What the modules return has the types their stubs declare.

stubtest checks names, classes and constants, but it cannot see what a
nanobind function returns. Here each stub is executed as plain Python to read
its annotations, every function is called on representative arguments, and
the result is checked against the declared return type, as are the
properties of the records.
"""

import collections.abc
import importlib
import pathlib
import types
import typing

import httpx
import pytest

from kelvo_mcp import tools
from kelvo_mcp.memory_engine import InMemoryEngine

STUBS = pathlib.Path(__file__).resolve().parents[2] / "src" / "kelvo_mcp"


def load_stub(module: str) -> dict[str, object]:
    namespace: dict[str, object] = {"__name__": f"kelvo_mcp.{module}"}
    # A decorator that exists only for type checkers.
    had = hasattr(typing, "type_check_only")
    if not had:
        typing.type_check_only = lambda obj: obj
    try:
        exec(compile((STUBS / f"{module}.pyi").read_text(), f"{module}.pyi", "exec"), namespace)
    finally:
        if not had:
            del typing.type_check_only
    return namespace


def conforms(value: object, hint: object, module: str) -> bool:
    """Whether value is of the declared type (deep for containers)."""
    origin, args = typing.get_origin(hint), typing.get_args(hint)
    if hint in (typing.Any, object) or isinstance(hint, typing.TypeVar):
        return True
    if hint is None or hint is type(None):
        return value is None
    if origin in (types.UnionType, typing.Union):
        return any(conforms(value, a, module) for a in args)
    if origin is typing.Literal:
        return value in args
    if typing.is_typeddict(hint):
        fields = typing.get_type_hints(hint)
        return (isinstance(value, dict) and list(value) == list(fields)
                and all(conforms(value[k], t, module) for k, t in fields.items()))
    if origin is collections.abc.Callable:
        return callable(value)
    if origin is tuple:
        if not isinstance(value, tuple):
            return False
        if len(args) == 2 and args[1] is Ellipsis:
            return all(conforms(v, args[0], module) for v in value)
        return len(value) == len(args) and all(conforms(v, a, module) for v, a in zip(value, args))
    if origin in (dict, collections.abc.Mapping):
        return isinstance(value, origin) and all(
            conforms(k, args[0], module) and conforms(v, args[1], module) for k, v in value.items())
    if origin in (list, set, frozenset, collections.abc.Sequence, collections.abc.Iterable):
        return isinstance(value, origin) and all(conforms(v, args[0], module) for v in value)
    if isinstance(hint, type):
        if hint.__module__ == f"kelvo_mcp.{module}" and getattr(hint, "_is_protocol", False):
            return True
        if hint.__module__ == f"kelvo_mcp.{module}":  # the stub's twin of a module class
            return type(value).__module__ == hint.__module__ and type(value).__name__ == hint.__name__
        return isinstance(value, hint)
    raise AssertionError(f"no check for {hint!r}")


class Engine(InMemoryEngine):
    def whoami(self) -> dict[str, object]:
        return {"role": "editor", "scopes": ["pages:read"]}


def _engine() -> Engine:
    engine = Engine()
    engine.add_doc("rules", "Be kind.", pinned=True)
    engine.add_doc("deploy", "Steps.", kind="skill", when_to_use="on deploy", approval="none")
    engine.add_page("notes", [{"block_type": "paragraph", "text": "plain"}])
    return engine


def _status_error(status: int) -> httpx.HTTPStatusError:
    req = httpx.Request("GET", "https://engine.example/v1/pages", extensions={"timeout": {"read": 30.0}})
    resp = httpx.Response(status, json={"detail": "canvas not found"}, request=req)
    return httpx.HTTPStatusError("failed", request=req, response=resp)


def calls(module: str):
    """(function name, args, kwargs) covering every function of the module."""
    if module == "lexicon":
        return [("utf16_len", ("a😀",), {}), ("icon_ok", (" 📝 ",), {})]
    if module == "refresh":
        from kelvo_mcp import refresh
        engine = _engine()
        docs, _ = refresh.derive_registry(engine)
        d = docs[0]
        marker = refresh.make_sentinel("a", "skill", "when", True, 2)
        row, detail = {"page_id": "p", "title": "T"}, {"blocks": [{"text": marker}, {"text": "x"}]}
        return [
            ("blocks_to_markdown", ([{"block_type": "heading_1", "text": "a"}, 3],), {}),
            ("markdown_to_blocks", ("# a\nb\n- c",), {}),
            ("valid_name", ("a",), {}), ("make_sentinel", ("a", "doc"), {}),
            ("parse_sentinel", (marker,), {}), ("parse_sentinel", ("x",), {}),
            ("_approval_of", ({"instruction": {"state": "none"}},), {}),
            ("doc_from_page", (row, detail), {}), ("doc_from_page", (row, {}), {}),
            ("derive_registry", (_engine(),), {"max_pages": 1}),
            ("requests_authority", (d,), {}), ("is_instruction", (d,), {}), ("is_builtin_seed", (d,), {}),
            ("visible_docs", (docs,), {}), ("approvals_reported", (docs,), {}),
            ("instructions_version", (docs,), {}),
            ("build_digest", (docs,), {"now": 0.0, "cap_chars": 200, "extra": {"x": 1}}),
            ("build_digest", ([],), {}),
            ("_one_liner", (d,), {}), ("_requested_row", (docs[1],), {}),
            ("_truncated_body", ("abcdef", 2, "n"), {}),
            ("handshake_text", (docs,), {}), ("handshake_text", (None,), {"error": "timeout"}),
        ]
    if module == "surfaces":
        from kelvo_mcp import surfaces
        surface = surfaces.build_surface("compact")
        disp = surfaces.display_name(surface)
        graph = [t for t in tools.TOOLS if t.family == "graph"]
        return [
            ("build_surface", ("compact",), {"absent": ["kelvo_subgraph"]}),
            ("resolve_call", (surface, "kelvo_page_read", {"op": "get", "page_id": "p"}), {}),
            ("resolve_call", (surface, "kelvo_page_read", {"op": "grammar"}), {}),
            ("ignored_args", (surface, "kelvo_page_read", {"op": "get", "page_id": "p", "limit": 1}), {}),
            ("display_name", (surface,), {}), ("respell_text", ("use kelvo_page_get", disp), {}),
            ("respell_guidance", ({"note": "kelvo_page_get", "items": [{"hint": "kelvo_doc_get"}]}, disp), {}),
            ("alias_lines", (surface,), {}), ("surface_names", (surface,), {}),
            ("_single", (tools.TOOLS[0],), {"compact": True}), ("_family", ("graph", graph), {}),
            ("_short_canvas", ({"properties": {"canvas": {}}}, True), {}), ("_respell", (surface[0], disp), {}),
        ]
    if module == "explain":
        timeout = httpx.ReadTimeout("slow", request=_status_error(500).request)
        return [
            ("_clean", ("Bearer abc https://x.example",), {}), ("possible", (["a", "b"],), {}),
            ("call", ("t", "work"), {"page_id": "p"}), ("engine_reason", (_status_error(422).response,), {}),
            ("not_found", ("page", "p1", None, ["gone"]), {"next_call": "t()"}),
            ("timeout_phase", (timeout,), {}), ("_budget", (timeout, "read"), {}),
            ("_budget", (timeout, "pool"), {}),
            ("timeout", ("t", timeout), {"writes": True}), ("http_failure", ("t", _status_error(503)), {"writes": True}),
        ]
    if module == "capabilities":
        return [("resolve", (_engine(),), {}), ("_probe_pages", (_engine(),), {}),
                ("_canvas_missing", (_status_error(404).response,), {})]
    if module == "instructions":
        return [("paragraphs", (), {}), ("mentions", ("kelvo_doc_get and __kelvo_agent_doc__",), {}),
                ("render", (["kelvo_page_create"],), {"profile": "compact"})]
    raise AssertionError(module)


MODULES = ["lexicon", "refresh", "surfaces", "explain", "capabilities", "instructions"]


def _load(module: str):
    try:
        return importlib.import_module(f"kelvo_mcp.{module}")
    except ImportError as e:
        pytest.skip(f"kelvo_mcp.{module} does not import: {e}")


@pytest.mark.parametrize("module", MODULES)
def test_functions_return_their_declared_types(module):
    mod = _load(module)
    stub = load_stub(module)
    wrong, covered = [], set()
    for name, args, kwargs in calls(module):
        result = getattr(mod, name)(*args, **kwargs)
        hint = typing.get_type_hints(stub[name])["return"]
        covered.add(name)
        if not conforms(result, hint, module):
            wrong.append(f"{name}: declared {hint}, got {result!r:.200}")
    assert not wrong, "\n".join(wrong)
    declared = {n for n, v in stub.items()
                if isinstance(v, types.FunctionType) and v.__module__ == f"kelvo_mcp.{module}"
                and not n.startswith("__")}
    assert declared <= covered, f"functions without a representative call: {sorted(declared - covered)}"


def _records(module: str):
    if module == "refresh":
        from kelvo_mcp import refresh
        docs, _ = refresh.derive_registry(_engine())
        state = refresh.RefreshState(0, 0)
        state.tick()
        return [docs[0], refresh.DocsConfig(), state]
    if module == "surfaces":
        from kelvo_mcp import surfaces
        return surfaces.build_surface("compact")[:12]
    if module == "capabilities":
        from kelvo_mcp import capabilities
        return [capabilities.Capabilities(), capabilities.resolve(_engine()),
                capabilities.Capabilities(False, "probe", "admin", ("a", "b"))]
    return []


@pytest.mark.parametrize("module", ["refresh", "surfaces", "capabilities"])
def test_record_attributes_have_their_declared_types(module):
    _load(module)
    stub = load_stub(module)
    wrong = []
    for record in _records(module):
        cls = stub[type(record).__name__]
        assert isinstance(cls, type)
        for attr, member in vars(cls).items():
            if isinstance(member, property):
                hint = typing.get_type_hints(member.fget)["return"]
                value = getattr(record, attr)
                if not conforms(value, hint, module):
                    wrong.append(f"{cls.__name__}.{attr}: declared {hint}, got {value!r:.200}")
    assert not wrong, "\n".join(wrong)
