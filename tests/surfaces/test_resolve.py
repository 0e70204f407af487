"""Call resolution: a call on a surface back to its catalogue tool, the five
refusals, the grammar op, and the arguments an op ignores."""

import copy

import pytest
from hypothesis import given, settings, strategies as st

from kelvo_mcp import surfaces as S
from kelvo_mcp import tools as T
from kelvo_mcp.runtime import ToolInputError

KEEP = {"kelvo_search", "kelvo_page_list", "kelvo_page_get", "kelvo_page_create"}
ALL = frozenset(t.name for t in T.TOOLS)


@pytest.fixture(scope="module")
def small():
    """search, kelvo_page_read (list, get, grammar), kelvo_page_edit (create)."""
    surface = S.build_surface("compact", absent=ALL - KEEP)
    assert [s.name for s in surface] == ["kelvo_search", "kelvo_page_read", "kelvo_page_edit"]
    return surface


@pytest.fixture(scope="module")
def compact():
    return S.build_surface("compact")


@pytest.fixture(scope="module")
def full():
    return S.build_surface("full")


def refusal(surface, name, args):
    with pytest.raises(ToolInputError) as e:
        S.resolve_call(surface, name, args)
    assert type(e.value) is ToolInputError and len(e.value.args) == 1
    return e.value.args[0]


OPS_SUMMARY = "Ops: 'list'; 'get' requires page_id"


@pytest.mark.parametrize("name, args, message", [
    ("kelvo_nope", None, "unknown tool 'kelvo_nope' on this surface; valid: kelvo_page_edit, kelvo_page_read, kelvo_search"),
    ("it's", {}, "unknown tool \"it's\" on this surface; valid: kelvo_page_edit, kelvo_page_read, kelvo_search"),
    ("kelvo_page_get", {"page_id": "p"},
     "kelvo_page_get is not a tool on this surface (compact): call kelvo_page_read with op='get'."),
    ("kelvo_page_create", {}, "kelvo_page_create is not a tool on this surface (compact): call kelvo_page_edit with op='create'."),
    ("kelvo_page_read", {"op": "GET"},
     "kelvo_page_read needs op = one of ['list', 'get'] or 'grammar' (got 'GET'). " + OPS_SUMMARY),
    ("kelvo_page_read", {"op": None}, "kelvo_page_read needs op = one of ['list', 'get'] or 'grammar' (got ''). " + OPS_SUMMARY),
    ("kelvo_page_read", {"op": 0}, "kelvo_page_read needs op = one of ['list', 'get'] or 'grammar' (got ''). " + OPS_SUMMARY),
    ("kelvo_page_read", {"op": 7}, "kelvo_page_read needs op = one of ['list', 'get'] or 'grammar' (got '7'). " + OPS_SUMMARY),
    ("kelvo_page_read", {"op": "it's\n"},
     "kelvo_page_read needs op = one of ['list', 'get'] or 'grammar' (got \"it's\"). " + OPS_SUMMARY),
    ("kelvo_page_edit", {"op": "grammar"},
     "kelvo_page_edit needs op = one of ['create'] (got 'grammar'). Ops: 'create' requires title, blocks"),
    ("kelvo_page_read", {"op": "get"}, "kelvo_page_read op='get' requires page_id. " + OPS_SUMMARY),
    ("kelvo_page_edit", {"op": "create", "blocks": []},
     "kelvo_page_edit op='create' requires title. Ops: 'create' requires title, blocks"),
    ("kelvo_page_edit", {"op": "create"},
     "kelvo_page_edit op='create' requires title, blocks. Ops: 'create' requires title, blocks"),
    ("kelvo_page_read", {"op": "list", "zz": 1, "aa": 2, "page_id": "p", "canvas": "c"},
     "kelvo_page_read op='list' does not take aa, zz. " + OPS_SUMMARY),
    ("kelvo_page_read", {"op": "list", "\u00e9": 1, "Z": 2},
     "kelvo_page_read op='list' does not take Z, \u00e9. " + OPS_SUMMARY),
])
def test_refusal_messages(small, name, args, message):
    before = copy.deepcopy(args)
    assert refusal(small, name, args) == message
    assert args == before


def test_full_surface_refuses_family_names_listing_valid_names(full):
    message = refusal(full, "kelvo_graph", {"op": "subgraph"})
    assert message == ("unknown tool 'kelvo_graph' on this surface; valid: "
                       + ", ".join(sorted(t.name for t in T.TOOLS)))


def test_compact_refuses_every_member_it_folds(compact):
    for member, op in S.OPS.items():
        family = S.FAMILIES[T._BY_NAME[member].family][0]
        assert refusal(compact, member, {}) == (
            f"{member} is not a tool on this surface (compact): call {family} with op='{op}'.")


def test_family_calls_resolve_to_members_with_fresh_maps(small):
    args = {"op": " get\u3000", "page_id": "p", "canvas": "c"}
    name, out = S.resolve_call(small, "kelvo_page_read", args)
    assert (name, out) == ("kelvo_page_get", {"page_id": "p", "canvas": "c"})
    assert args["op"] == " get\u3000" and out is not args
    # An argument of a sibling op passes through; ignored_args names it.
    args = {"op": "list", "page_id": "p", "limit": 3}
    assert S.resolve_call(small, "kelvo_page_read", args) == ("kelvo_page_list", {"page_id": "p", "limit": 3})
    assert S.ignored_args(small, "kelvo_page_read", args) == ["page_id"]
    assert S.ignored_args(small, "kelvo_page_read", {"op": "list", "canvas": 1, "zz": 1, "b": 2}) == ["b", "zz"]


def test_grammar_op_only_on_page_read_with_grammar(small):
    assert S.resolve_call(small, "kelvo_page_read", {"op": "grammar", "page_id": "x"}) == ("__grammar__", {})
    assert S.ignored_args(small, "kelvo_page_read", {"op": "grammar", "x": 1}) == []
    readonly = S.build_surface("compact", readonly=True)
    message = refusal(readonly, "kelvo_page_read", {"op": "grammar"})
    assert message.startswith("kelvo_page_read needs op = one of ['list', 'get', 'removed'] (got 'grammar'). Ops: ")


def test_single_tools_resolve_to_themselves(small):
    args = {"op": "x", "query": "q"}
    name, out = S.resolve_call(small, "kelvo_search", args)
    assert (name, out) == ("kelvo_search", {"op": "x", "query": "q"}) and out is not args
    assert S.resolve_call(small, "kelvo_search", None) == ("kelvo_search", {})
    assert S.ignored_args(small, "kelvo_search", {"zz": 1}) == []
    assert S.ignored_args(small, "kelvo_nope", {"zz": 1}) == []
    assert S.ignored_args(small, "kelvo_page_read", None) == []


def test_hidden_catalogue_tools_and_hidden_families(small):
    # kelvo_page_write is on no family and hidden here: its own handler decides.
    assert S.resolve_call(small, "kelvo_page_write", {"op": 1}) == ("kelvo_page_write", {"op": 1})
    # Every docs_read member is hidden: the family name goes to the member of the op.
    assert S.resolve_call(small, "kelvo_docs_read", {"op": " get", "name": "n"}) == ("kelvo_doc_get", {"name": "n"})
    assert S.resolve_call(small, "kelvo_docs_read", {"op": "nope"}) == ("kelvo_docs_refresh", {})
    assert S.resolve_call(small, "kelvo_docs_read", None) == ("kelvo_docs_refresh", {})


def test_repeated_names_later_wins_for_resolve_first_for_ignored(small):
    single = S._single(T._BY_NAME["kelvo_page_list"], compact=True)
    family = small[1]
    renamed = S.SurfaceTool("kelvo_page_read", "t", "d", {}, {}, ("kelvo_page_list",))
    assert S.resolve_call([family, renamed], "kelvo_page_read", {"op": "get"}) == ("kelvo_page_read", {"op": "get"})
    assert S.ignored_args([family, renamed], "kelvo_page_read", {"op": "list", "x": 1}) == ["x"]
    assert S.ignored_args([renamed, family], "kelvo_page_read", {"op": "list", "x": 1}) == []
    assert single.name == "kelvo_page_list"


# Properties


@settings(max_examples=40, deadline=None)
@given(absent=st.sets(st.sampled_from(sorted(ALL)), max_size=20), readonly=st.booleans(),
       extra=st.dictionaries(st.sampled_from(["limit", "page_id", "blocks", "node_id", "zz"]), st.integers(), max_size=3))
def test_every_visible_member_resolves_through_its_family(absent, readonly, extra):
    surface = S.build_surface("compact", readonly=readonly, absent=absent)
    for fam in (s for s in surface if s.is_family):
        props = fam.input_schema["properties"]
        for op, member in fam.ops.items():
            schema = T._BY_NAME[member].input_schema
            args = {r: "v" for r in schema["required"]}
            args.update({k: v for k, v in extra.items() if k in props and k not in args})
            call = {"op": op, **args}
            assert S.resolve_call(surface, fam.name, call) == (member, args)
            assert S.ignored_args(surface, fam.name, call) == sorted(
                k for k in args if k not in schema["properties"] and k != "canvas")


# Hostile inputs


class Explodes:
    def __str__(self):
        raise ArithmeticError("no text")


class Name(str):
    """A str of another type: calls with it take the general path."""


def outcome(fn, *args):
    try:
        return ("ok", fn(*args))
    except Exception as e:  # noqa: BLE001 - the kind and text of every refusal are compared
        return (type(e), str(e))


@settings(max_examples=150, deadline=None)
@given(st.lists(st.sampled_from(range(40)), max_size=12), st.sampled_from(sorted(ALL | {"kelvo_page_read",
       "kelvo_graph", "kelvo_docs_read", "nope", ""})),
       st.dictionaries(st.sampled_from(["op", "canvas", "query", "limit", "page_id", "node_id", "depth", "x"]),
                       st.sampled_from(["get", "list", " neighborhood ", "grammar", "", None, 3, "p1"]), max_size=5))
def test_named_lookup_agrees_with_the_general_path(compact, picks, name, args):
    # The usual call (a list of surface tools, a str name, str argument
    # names) is read in place; a tuple surface and a str subclass name go
    # the general way. Both must answer alike, refusals included.
    surface = [compact[i % len(compact)] for i in picks]
    for fn in (S.resolve_call, S.ignored_args):
        fast = outcome(fn, surface, name, dict(args))
        assert fast == outcome(fn, tuple(surface), Name(name), dict(args))
        assert fast == outcome(fn, surface, name, {Name(k): v for k, v in args.items()})


class ClearsOnKeys(dict):
    """Call arguments whose keys() empties the surface they are resolved on."""

    def __init__(self, surface, **kw):
        super().__init__(**kw)
        self.surface = surface

    def keys(self):
        self.surface.clear()
        return super().keys()


def test_the_surface_is_read_before_the_arguments(small, compact):
    # The tool is found, and a name off the surface refused, by the surface
    # as it was before the arguments ran any code: in place and through the
    # map alike.
    class Live(list):  # not a plain list: read through a copy and the map
        pass

    for make in (list, Live):
        live = make(small)
        assert S.resolve_call(live, "kelvo_search", ClearsOnKeys(live, query="q")) == ("kelvo_search", {"query": "q"})
        live = make(small)
        message = refusal(live, "kelvo_nope", ClearsOnKeys(live))
        assert message.endswith("valid: kelvo_page_edit, kelvo_page_read, kelvo_search")
        live = make(compact)
        assert S.ignored_args(live, "kelvo_graph", {"op": "neighborhood", "zz": 1}) == ["zz"]


def test_a_name_not_a_str_goes_through_the_map_and_its_errors(small):
    # A surface tool named by something unhashable: the map raises as a dict
    # would, whatever name is called.
    odd = S.SurfaceTool(["x"], "t", "d", {}, {}, ())
    with pytest.raises(TypeError, match="unhashable"):
        S.resolve_call([*small, odd], "kelvo_search", {})
    assert S.ignored_args([*small, odd], "kelvo_search", {"q": 1}) == []


def test_hostile_surfaces_and_arguments(small):
    with pytest.raises(AttributeError):
        S.resolve_call([1, 2], "kelvo_search", {})
    with pytest.raises(AttributeError):
        S.ignored_args([None], "kelvo_search", {})
    with pytest.raises(TypeError):
        S.resolve_call(None, "kelvo_search", {})
    for bad in ([("op", "get")], "op", 5):
        with pytest.raises(TypeError):
            S.resolve_call(small, "kelvo_page_read", bad)
        with pytest.raises(TypeError):
            S.ignored_args(small, "kelvo_page_read", bad)
    with pytest.raises(TypeError):
        S.resolve_call(small, ["unhashable"], {})
    with pytest.raises(ArithmeticError):
        S.resolve_call(small, "kelvo_page_read", {"op": Explodes()})

    class Args(dict):
        pass
    assert S.resolve_call(small, "kelvo_page_read", Args(op="list")) == ("kelvo_page_list", {})
    with pytest.raises(TypeError):  # stray names must sort
        S.resolve_call(small, "kelvo_page_read", {"op": "list", 1: 2, "a": 3})


def test_inconsistent_catalogue_gives_lookup_errors(small, monkeypatch):
    no_enum = S.SurfaceTool("kelvo_page_read", "t", "d", {"properties": {}}, {}, ("kelvo_page_get",),
                            {"get": "kelvo_page_get"})
    with pytest.raises(KeyError):
        S.resolve_call([no_enum], "kelvo_page_read", {"op": "get"})
    ghost = S.SurfaceTool("kelvo_page_read", "t", "d", {"properties": {"op": {"enum": ["get"]}}}, {},
                          ("kelvo_ghost",), {"get": "kelvo_ghost"})
    with pytest.raises(KeyError):
        S.resolve_call([ghost], "kelvo_page_read", {"op": "get"})
    with pytest.raises(KeyError):
        S.ignored_args([ghost], "kelvo_page_read", {"op": "get"})
    monkeypatch.setattr(T, "TOOLS", [t for t in T.TOOLS if t.family != "graph"])
    with pytest.raises(IndexError):
        S.resolve_call(small, "kelvo_graph", {"op": "subgraph"})
    wrong_shape = S.SurfaceTool("kelvo_page_read", "t", "d", [], {}, ("kelvo_page_get",), {"get": "kelvo_page_get"})
    with pytest.raises(TypeError):
        S.resolve_call([wrong_shape], "kelvo_page_read", {"op": "get"})


def test_member_missing_from_the_catalogue_is_a_lookup_error(small):
    read = next(s for s in small if s.name == "kelvo_page_read")
    ghost = copy.replace(read, ops={**read.ops, "ghost": "kelvo_ghost"})
    surface = [ghost if s is read else s for s in small]
    for args in ({"op": "grammar"}, {"op": "get", "page_id": "p"}, {"op": "nope"}):
        with pytest.raises(KeyError, match="kelvo_ghost"):
            S.resolve_call(surface, "kelvo_page_read", args)
