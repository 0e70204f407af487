"""Surface building: the full, lean and compact profiles over the stand-in
catalogue, the family fold, the short canvas property and the final respelling."""

import copy

import pytest
from hypothesis import given, settings, strategies as st

from kelvo_mcp import surfaces as S
from kelvo_mcp import tools as T

from surfaces_model import names_of, subst

SHORT_CANVAS = "Canvas for THIS call only (name | id | canvas_handle). Omitted = the connection's immutable default. Nothing is remembered between calls."
SHORT_DOCS_CANVAS = 'Canvas holding the agent docs, for THIS call only. Omitted = the configured docs canvas (KELVO_DOCS_CANVAS).'
GRAMMAR_LINE = "op='grammar': returns the block grammar as text (no arguments)."

COMPACT_NAMES = [
    "kelvo_remember", "kelvo_search", "kelvo_answer", "kelvo_graph", "kelvo_node_get", "kelvo_maintain",
    "kelvo_forget", "kelvo_canvas_read", "kelvo_canvas_create", "kelvo_canvas_erase", "kelvo_page_read",
    "kelvo_page_edit", "kelvo_page_write", "kelvo_page_delete", "kelvo_page_export", "kelvo_page_import",
    "kelvo_docs_read", "kelvo_doc_save", "kelvo_doc_delete", "kelvo_learn", "kelvo_docs_export",
    "kelvo_status", "kelvo_ingest",
]

FAMILY_OPS = {
    "kelvo_graph": ["neighborhood", "subgraph", "backlinks"],
    "kelvo_maintain": ["enrich", "resolve"],
    "kelvo_canvas_read": ["list", "current", "use"],
    "kelvo_canvas_erase": ["clear", "delete"],
    "kelvo_page_read": ["list", "get", "removed"],
    "kelvo_page_edit": ["create", "append", "update", "insert", "move", "rename", "meta", "restore"],
    "kelvo_docs_read": ["refresh", "list", "get"],
}


@pytest.fixture(scope="module")
def catalogue_snapshot():
    return copy.deepcopy([(t.input_schema, t.annotations, t.description) for t in T.TOOLS])


@pytest.fixture
def compact(catalogue_snapshot):
    surface = S.build_surface("compact")
    yield {st.name: st for st in surface}, surface
    # Building never changes a catalogue map.
    assert [(t.input_schema, t.annotations, t.description) for t in T.TOOLS] == catalogue_snapshot


def test_full_is_the_default_and_passes_tools_through():
    visible = T.visible_tools(readonly=False, profile="full", absent=frozenset())
    surface = S.build_surface()
    assert [st.name for st in surface] == [t.name for t in visible]
    for tool, t in zip(surface, visible):
        assert (tool.title, tool.description, tool.members, tool.ops, tool.writes) == (
            t.title, t.description, (t.name,), {}, t.writes)
        assert tool.input_schema is t.input_schema and tool.annotations is t.annotations
        assert not tool.is_family
    assert surface[0].ops is not surface[1].ops
    assert S.build_surface() == S.build_surface("full", readonly=False, absent=None) == S.build_surface(absent=[])


def test_lean_and_compact_ask_the_catalogue_for_their_base_profile(monkeypatch):
    calls = []
    real = T.visible_tools

    def recording(**kwargs):
        calls.append(kwargs)
        return real(**kwargs)

    monkeypatch.setattr(T, "visible_tools", recording)
    flag = object()  # readonly is handed over unchanged
    S.build_surface("lean", readonly=flag, absent=["kelvo_search", "kelvo_search"])
    S.build_surface("compact")
    assert calls == [dict(readonly=flag, profile="lean", absent=frozenset({"kelvo_search"})),
                     dict(readonly=False, profile="full", absent=frozenset())]
    assert type(calls[0]["absent"]) is frozenset
    lean = S.build_surface("lean")
    assert [st.name for st in lean] == [t.name for t in T.TOOLS if t.lean]


@pytest.mark.parametrize("profile, shown", [
    ("tiny", "'tiny'"), ("FULL", "'FULL'"), (5, "5"), (None, "None"), ("it's", '"it\'s"'),
])
def test_unknown_profile_is_a_key_error_with_the_known_list(profile, shown):
    with pytest.raises(KeyError) as e:
        S.build_surface(profile)
    assert e.value.args == (f"unknown tool profile {shown}; known: ['full', 'lean', 'compact']",)


def test_compact_surface_order_and_family_positions(compact):
    by, surface = compact
    assert [st.name for st in surface] == COMPACT_NAMES
    for name, ops in FAMILY_OPS.items():
        st = by[name]
        assert st.is_family and list(st.ops) == ops
        assert st.members == tuple(st.ops.values())
        assert st.input_schema["required"] == ["op"]
        assert list(st.input_schema) == ["type", "properties", "required"]
        assert st.input_schema["type"] == "object"
        assert list(st.input_schema["properties"])[0] == "op"
        enum = st.input_schema["properties"]["op"]["enum"]
        assert enum == ops + (["grammar"] if name == "kelvo_page_read" else [])
        assert st.annotations["title"] == st.title == S.FAMILIES[T._BY_NAME[st.members[0]].family][1]
        assert st.writes == any(T._BY_NAME[m].writes for m in st.members)
    assert S.alias_lines(surface).count("\u2192") == 24


def test_compact_page_read_family_in_detail(compact):
    by, _ = compact
    st = by["kelvo_page_read"]
    assert st.title == "Read pages" and st.writes is False
    assert st.annotations == {"title": "Read pages", "readOnlyHint": True, "destructiveHint": False,
                              "idempotentHint": True, "openWorldHint": False}
    props = st.input_schema["properties"]
    assert list(props) == ["op", "limit", "cursor", "canvas", "page_id"]
    assert props["op"] == {
        "type": "string", "enum": ["list", "get", "removed", "grammar"],
        "description": "which operation: 'list'; 'get' (requires page_id); 'removed' (requires page_id); "
                       "'grammar' (no arguments)"}
    assert props["limit"]["description"] == "(ops: list, removed) Most items to return."
    assert props["limit"]["maximum"] == 200
    assert props["cursor"] == {"type": "string", "description": "(ops: list) Cursor from the previous call."}
    assert props["canvas"] == {"type": "string", "description": SHORT_CANVAS}
    assert props["page_id"] == {"type": "string", "description": "(ops: get, removed) Id of the page, from "
                                "kelvo_page_read(op='list') or kelvo_page_edit(op='create')."}
    assert st.description.split("\n") == [
        S.FAMILIES["page_read"][2] + S._GRAMMAR_SUMMARY,
        "op='list': List the pages of a canvas, newest first, with page_id and title.",
        "op='get': Return one page with its ordered blocks and their block ids. Call it in the same turn "
        "before kelvo_page_edit(op='update'), kelvo_page_edit(op='insert') or kelvo_page_edit(op='move').",
        "op='removed': List the blocks a page has lost, newest first, for kelvo_page_edit(op='restore').",
        GRAMMAR_LINE,
    ]


def test_compact_page_edit_uses_the_short_create_text(compact):
    by, _ = compact
    st = by["kelvo_page_edit"]
    lines = st.description.split("\n")
    disp = S.display_name(list(by.values()))
    assert lines[0] == S.FAMILIES["page_edit"][2]
    create = "op='create': " + subst(S.PAGE_CREATE_SHORT, disp)
    assert st.description.startswith(lines[0] + "\n" + create + "\nop='append': Add blocks to the end of a page.")
    assert "\u2022 DIAGRAM" not in st.description
    assert "check them with kelvo_page_read(op='get') before" in st.description
    assert "kelvo_page_read(op='grammar')" in st.description and "kelvo_page_write" in st.description
    assert st.input_schema["properties"]["op"]["description"] == (
        "which operation: 'create' (requires title, blocks); 'append' (requires page_id, blocks); "
        "'update' (requires page_id, updates); 'insert' (requires page_id, after, blocks); "
        "'move' (requires page_id, block_ids); 'rename' (requires page_id, title); 'meta' (requires page_id); "
        "'restore' (requires page_id, block_ids)")
    props = st.input_schema["properties"]
    assert list(props) == ["op", "title", "blocks", "icon", "canvas", "page_id", "updates", "after", "block_ids",
                           "pinned", "group"]
    assert props["title"]["description"] == "(ops: create, rename) Page title."  # first definition wins
    assert props["pinned"] == {"type": "boolean", "description": "(ops: meta) "}  # no description of its own
    assert props["blocks"]["description"] == ("(ops: append, create, insert) Blocks in order; each is "
                                              "{block_type, text, ...}. Read kelvo_page_read(op='get') first "
                                              "when editing.")
    assert st.writes is True


def test_compact_docs_family_and_singles(compact):
    by, surface = compact
    docs = by["kelvo_docs_read"]
    assert docs.input_schema["properties"]["canvas"]["description"] == SHORT_DOCS_CANVAS
    assert docs.input_schema["properties"]["name"]["description"] == "(ops: get) Name of the doc (lowercase words joined by hyphens)."
    assert by["kelvo_doc_save"].input_schema["properties"]["canvas"] == {"type": "string", "description": SHORT_DOCS_CANVAS}
    search = by["kelvo_search"]
    assert search.description == ("Search the canvas knowledge graph and return ranked nodes with their node_id and "
                                  "node_type; follow up with kelvo_graph(op='neighborhood') for the edges around one of them.")
    assert search.input_schema["properties"]["canvas"] == {"type": "string", "description": SHORT_CANVAS}
    assert search.input_schema["properties"]["limit"] is not T._BY_NAME["kelvo_search"].input_schema["properties"]["limit"]
    assert "canvas" not in by["kelvo_status"].input_schema["properties"]
    # Annotations pass through a single tool untouched and unshared-by-copy.
    assert search.annotations is T._BY_NAME["kelvo_search"].annotations
    assert search.members == ("kelvo_search",) and not search.is_family
    # Enum values and property names keep member names; only descriptions change.
    erase = by["kelvo_canvas_erase"]
    assert erase.input_schema["properties"]["confirm"]["description"] == (
        "The confirm_token from the first call; omit it on the first call.")
    for tool in surface:
        for line in tool.description.split("\n"):
            for member in S.OPS:
                assert not any(m == member for m in S._NAME_RE.findall(line)), (tool.name, line)


def test_read_only_compact_drops_write_families_and_the_grammar_op():
    surface = S.build_surface("compact", readonly=True)
    names = [st.name for st in surface]
    assert "kelvo_page_edit" not in names and "kelvo_maintain" not in names and "kelvo_canvas_erase" not in names
    page_read = surface[names.index("kelvo_page_read")]
    assert page_read.input_schema["properties"]["op"]["enum"] == ["list", "get", "removed"]
    assert "grammar" not in page_read.description
    assert page_read.input_schema["properties"]["op"]["description"].endswith("'removed' (requires page_id)")


def test_partly_hidden_family_is_built_from_visible_members():
    surface = S.build_surface("compact", absent={"kelvo_page_get", "kelvo_page_list", "kelvo_doc_list"})
    by = {st.name: st for st in surface}
    page_read = by["kelvo_page_read"]
    assert page_read.members == ("kelvo_page_removed",) and list(page_read.ops) == ["removed"]
    assert page_read.input_schema["properties"]["op"]["enum"] == ["removed", "grammar"]
    # With one member every property belongs to every op: no prefixes.
    assert page_read.input_schema["properties"]["limit"]["description"] == "Most items to return."
    assert [l.split(":")[0] for l in page_read.description.split("\n")[1:]] == ["op='removed'", "op='grammar'"]
    # The family now stands where its first visible member stood.
    names = [st.name for st in surface]
    at = names.index("kelvo_page_edit")
    assert names[at:at + 5] == ["kelvo_page_edit", "kelvo_page_write", "kelvo_page_delete", "kelvo_page_read",
                                "kelvo_page_export"]
    assert list(by["kelvo_docs_read"].ops) == ["refresh", "get"]


def test_pages_absent_removes_page_families():
    needs_pages = {t.name for t in T.TOOLS if t.name.startswith(("kelvo_page_", "kelvo_doc")) or t.name == "kelvo_learn"}
    surface = S.build_surface("compact", absent=needs_pages)
    names = {st.name for st in surface}
    assert names.isdisjoint({"kelvo_page_read", "kelvo_page_edit", "kelvo_docs_read"})
    assert "kelvo_graph" in names


def test_visible_tools_errors_pass_through(monkeypatch):
    def broken(**kwargs):
        raise LookupError("catalogue offline")
    monkeypatch.setattr(T, "visible_tools", broken)
    with pytest.raises(LookupError, match="catalogue offline"):
        S.build_surface("compact")


# The steps


def test_short_canvas_replaces_in_place_and_keeps_the_input():
    schema = {"type": "object", "properties": {"a": {"type": "string"}, "canvas": {"enum": ["x"], "description": "long"},
                                               "z": {}}, "required": ["a"]}
    before = copy.deepcopy(schema)
    out = S._short_canvas(schema, False)
    assert schema == before
    assert list(out) == ["type", "properties", "required"]
    assert list(out["properties"]) == ["a", "canvas", "z"]
    assert out["properties"]["canvas"] == {"type": "string", "description": SHORT_CANVAS}
    assert out["properties"]["a"] is schema["properties"]["a"]
    assert S._short_canvas(schema, 1)["properties"]["canvas"]["description"] == SHORT_DOCS_CANVAS
    assert S._short_canvas({"type": "object"}, False) == {"type": "object", "properties": {}}
    assert list(S._short_canvas({"properties": None, "x": 1}, False)) == ["properties", "x"]


def test_single_shares_or_shortens_the_schema():
    t = T._BY_NAME["kelvo_doc_get"]
    plain = S._single(t, compact=False)
    assert plain.input_schema is t.input_schema and plain.members == ("kelvo_doc_get",)
    short = S._single(t, compact=True)
    assert short.input_schema["properties"]["canvas"]["description"] == SHORT_DOCS_CANVAS
    assert short.description == t.description  # never respelled here
    with pytest.raises(TypeError):
        S._single(t)  # compact is named-only and required
    with pytest.raises(TypeError):
        S._single(t, True)


def fake(name, props, required=(), *, writes=False, family="graph", description="d"):
    return T.Tool(name, name.title(), description, {"type": "object", "properties": props, "required": list(required)},
                  {"readOnlyHint": not writes}, writes=writes, family=family)


def test_family_fold_rules():
    a = fake("kelvo_subgraph", {"x": {"type": "string", "description": "first"}, "op": {"type": "integer"}}, ["x"])
    b = fake("kelvo_neighborhood", {"x": {"type": "number", "description": "second"}, "y": {}}, writes=True)
    st = S._family("graph", [a, b])
    props = st.input_schema["properties"]
    # The member's own "op" property replaces the op entry in place.
    assert list(props) == ["op", "x", "y"] and props["op"] == {"type": "integer", "description": "(ops: subgraph) "}
    assert props["x"] == {"type": "string", "description": "first"}
    assert props["y"] == {"description": "(ops: neighborhood) "}
    assert st.ops == {"subgraph": "kelvo_subgraph", "neighborhood": "kelvo_neighborhood"}
    assert st.members == ("kelvo_subgraph", "kelvo_neighborhood")
    assert st.annotations == {"readOnlyHint": True, "title": "Graph neighbourhood"}
    assert st.writes is True
    assert st.description == S.FAMILIES["graph"][2] + "\nop='subgraph': d\nop='neighborhood': d"
    assert a.input_schema["properties"]["x"] == {"type": "string", "description": "first"}  # catalogue untouched


def test_family_op_description_with_grammar():
    a = fake("kelvo_page_get", {"page_id": {}}, ["page_id", "canvas"], family="page_read")
    st = S._family("page_read", [a], grammar=True)
    op = st.input_schema["properties"]["op"]
    assert op["enum"] == ["get", "grammar"]
    assert op["description"] == "which operation: 'get' (requires page_id, canvas); 'grammar' (no arguments)"
    assert st.description.endswith("\n" + GRAMMAR_LINE)
    assert st.description.startswith(S.FAMILIES["page_read"][2] + S._GRAMMAR_SUMMARY + "\n")


def test_family_lookup_errors():
    with pytest.raises(KeyError):
        S._family("nope", [T._BY_NAME["kelvo_page_get"]])
    with pytest.raises(KeyError):
        S._family("graph", [T._BY_NAME["kelvo_search"]])
    with pytest.raises(IndexError):
        S._family("graph", [])


# Properties


names_strategy = st.sets(st.sampled_from([t.name for t in T.TOOLS]), max_size=25)


@settings(max_examples=40, deadline=None)
@given(absent=names_strategy, readonly=st.booleans())
def test_compact_folds_exactly_the_visible_members(absent, readonly):
    visible = T.visible_tools(readonly=readonly, profile="full", absent=frozenset(absent))
    surface = S.build_surface("compact", readonly=readonly, absent=absent)
    expected, seen = [], set()
    for t in visible:
        if t.family is None:
            expected.append((t.name, (t.name,)))
        elif t.family not in seen:
            seen.add(t.family)
            expected.append((S.FAMILIES[t.family][0], tuple(u.name for u in visible if u.family == t.family)))
    assert [(s.name, s.members) for s in surface] == expected
    disp = names_of(surface)
    for s in surface:
        assert all(disp.get(m, m) == m for m in S._NAME_RE.findall(s.description) if not m.endswith("__"))
    full = S.build_surface("full", readonly=readonly, absent=absent)
    assert [s.name for s in full] == [t.name for t in visible]


# Hostile inputs


class Raises:
    def __eq__(self, other):
        raise ArithmeticError("no comparing")
    __hash__ = object.__hash__


def test_hostile_catalogue_results(monkeypatch):
    monkeypatch.setattr(T, "visible_tools", lambda **kw: [1, 2])
    with pytest.raises(AttributeError):
        S.build_surface("full")
    monkeypatch.setattr(T, "visible_tools", lambda **kw: 5)
    with pytest.raises(TypeError):
        S.build_surface("compact")
    bad_schema = T.Tool("kelvo_x", "X", "d", ["not", "a", "map"], {})
    monkeypatch.setattr(T, "visible_tools", lambda **kw: [bad_schema])
    assert S.build_surface("full")[0].input_schema == ["not", "a", "map"]
    with pytest.raises(KeyError):  # a catalogue inconsistency is a lookup error
        S.build_surface("compact")
    odd_family = T.Tool("kelvo_x", "X", "d", {}, {}, family="nope")
    monkeypatch.setattr(T, "visible_tools", lambda **kw: [odd_family])
    with pytest.raises(KeyError):
        S.build_surface("compact")
    bad_props = fake("kelvo_subgraph", {"x": 5})
    monkeypatch.setattr(T, "visible_tools", lambda **kw: [bad_props])
    with pytest.raises(AttributeError):
        S.build_surface("compact")
    not_text = fake("kelvo_x", {}, description=None, family=None)
    monkeypatch.setattr(T, "visible_tools", lambda **kw: [not_text])
    with pytest.raises(TypeError):
        S.build_surface("compact")  # the respelled description must be text


def test_hostile_arguments():
    with pytest.raises(ArithmeticError):
        S.build_surface(Raises())
    with pytest.raises(TypeError):
        S.build_surface("full", absent=5)
    with pytest.raises(TypeError):
        S.build_surface("full", True)  # readonly is named-only
    with pytest.raises(KeyError):
        S._short_canvas(5, False)
    with pytest.raises(TypeError):
        S._family("graph", 5)
