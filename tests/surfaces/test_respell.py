"""Respelling: the name map, name substitution in texts, schemas and replies,
and the two listings of a surface."""

import types

import pytest
from hypothesis import given, settings, strategies as st

from kelvo_mcp import surfaces as S
from kelvo_mcp import tools as T

from surfaces_model import guidance, names_of, subst


@pytest.fixture(scope="module")
def compact():
    return S.build_surface("compact")


@pytest.fixture(scope="module")
def disp(compact):
    return S.display_name(compact)


def test_display_name_maps_members_only(compact, disp):
    assert disp("kelvo_page_get") == "kelvo_page_read(op='get')"
    assert disp(name="kelvo_canvas_delete") == "kelvo_canvas_erase(op='delete')"
    for name in ("kelvo_page_read", "kelvo_search", "kelvo_page_write", "x", ""):
        assert disp(name) == name
    assert {m: disp(m) for m in S.OPS} == names_of(compact)
    empty = S.display_name(S.build_surface("full"))
    assert all(empty(m) == m for m in S.OPS)
    # A later family claiming the same member replaces the earlier entry.
    a = S.SurfaceTool("kelvo_a", "", "", {}, {}, (), {"x": "kelvo_m"})
    b = S.SurfaceTool("kelvo_b", "", "", {}, {}, (), {"y": "kelvo_m"})
    assert S.display_name([a, b])("kelvo_m") == "kelvo_b(op='y')"
    with pytest.raises(TypeError):
        disp()
    with pytest.raises(TypeError):
        disp(["unhashable"])


@pytest.mark.parametrize("text, expected", [
    ("use kelvo_page_get first", "use kelvo_page_read(op='get') first"),
    ("kelvo_page_read, kelvo_search and kelvo_page_write stay", "kelvo_page_read, kelvo_search and kelvo_page_write stay"),
    ("kelvo_page_get2 and kelvo_page_getX", "kelvo_page_read(op='get')2 and kelvo_page_read(op='get')X"),
    ("kelvo_page_get_ stays", "kelvo_page_get_ stays"),
    ("__kelvo_page_get__ stays", "__kelvo_page_get__ stays"),
    ("KELVO_DOCS_CANVAS and Kelvo_page_get stay", "KELVO_DOCS_CANVAS and Kelvo_page_get stay"),
    ("xkelvo_doc_get(name)", "xkelvo_docs_read(op='get')(name)"),
    ("kelvo_ kelvo_1 kelvo_doc_list", "kelvo_ kelvo_1 kelvo_docs_read(op='list')"),
    ("\ud800 kelvo_doc_get \U0001f600", "\ud800 kelvo_docs_read(op='get') \U0001f600"),
    ("", ""),
])
def test_respell_text(disp, text, expected):
    assert S.respell_text(text, disp) == expected
    assert S.respell_text(text=text, disp=lambda n: disp(n)) == expected


def test_respell_text_inserts_replacements_literally():
    assert S.respell_text("a kelvo_x b", lambda n: r"\1 \g<0>") == r"a \1 \g<0> b"
    seen = []
    S.respell_text("kelvo_a kelvo_b__ kelvo_c", lambda n: seen.append(n) or n)
    assert seen == ["kelvo_a", "kelvo_c"]


def test_respell_guidance_rules(disp):
    reply = {
        "note": "call kelvo_page_get",
        "notes": ["kelvo_doc_list then kelvo_doc_get", 3],
        "detail": {"a": "kelvo_canvas_use", "b": ["kelvo_canvas_use"], "c": {"d": "kelvo_canvas_use"}},
        "next_call": {"tool": "kelvo_canvas_clear", "args": {"confirm": "t"}},
        "body": "long body cut\u2026 read kelvo_doc_get('style') for the rest; kelvo_page_get stays",
        "text": "kelvo_page_get in user content",
        "docs": [{"name": "d", "hint": "kelvo_doc_get"}, "kelvo_doc_get", [{"hint": "kelvo_doc_get"}]],
        "items": "kelvo_doc_get not a list",
        "nested": {"error": "kelvo_page_move failed", "title": "kelvo_page_get", "list": ["kelvo_page_get"]},
        "count": 3, "flag": None, 7: "kelvo_page_get",
    }
    out = S.respell_guidance(reply, disp)
    assert out == {
        "note": "call kelvo_page_read(op='get')",
        "notes": ["kelvo_docs_read(op='list') then kelvo_docs_read(op='get')", 3],
        "detail": {"a": "kelvo_canvas_read(op='use')", "b": ["kelvo_canvas_use"], "c": {"d": "kelvo_canvas_use"}},
        "next_call": {"tool": "kelvo_canvas_clear", "args": {"confirm": "t"}},
        "body": "long body cut\u2026 read kelvo_docs_read(op='get')('style') for the rest; kelvo_page_get stays",
        "text": "kelvo_page_get in user content",
        "docs": [{"name": "d", "hint": "kelvo_docs_read(op='get')"}, "kelvo_doc_get", [{"hint": "kelvo_doc_get"}]],
        "items": "kelvo_doc_get not a list",
        "nested": {"error": "kelvo_page_edit(op='move') failed", "title": "kelvo_page_get",
                   "list": ["kelvo_page_read(op='get')"]},
        "count": 3, "flag": None, 7: "kelvo_page_get",
    }
    assert list(out) == list(reply)
    assert out["next_call"] is reply["next_call"]
    assert out["detail"]["c"] is reply["detail"]["c"]
    assert reply["note"] == "call kelvo_page_get"  # the input is never changed
    assert S.respell_guidance("kelvo_doc_get", disp) == "kelvo_docs_read(op='get')"
    assert S.respell_guidance([["kelvo_doc_get"]], disp) == [["kelvo_docs_read(op='get')"]]
    for value in (None, 3, 2.5, True, ("kelvo_doc_get",)):
        assert S.respell_guidance(value, disp) is value


def test_respell_guidance_without_families_rebuilds_containers(disp):
    empty = S.display_name([])
    reply = {"notes": ["kelvo_doc_get"], "x": {"y": [1]}}
    out = S.respell_guidance(reply, empty)
    assert out == reply and out is not reply and out["x"] is not reply["x"] and out["x"]["y"] is not reply["x"]["y"]


def test_body_hint_calls_disp_once():
    calls = []

    def d(name):
        calls.append(name)
        return "X"
    out = S.respell_guidance({"body": "read kelvo_doc_get('a') read kelvo_doc_get('b')"}, d)
    assert out == {"body": "read X('a') read X('b')"} and calls == ["kelvo_doc_get"]
    assert S.respell_guidance({"body": "kelvo_doc_get('a')"}, d) == {"body": "kelvo_doc_get('a')"}


def test_respell_record_rewrites_descriptions_only(disp):
    st = S.SurfaceTool("kelvo_t", "kelvo_page_get", "see kelvo_page_get",
                       {"description": "kelvo_page_get", "properties": {"kelvo_page_get": {
                           "description": "after kelvo_page_list", "enum": ["kelvo_page_get"], "default": "kelvo_page_get"}},
                        "anyOf": [{"description": "kelvo_doc_get"}, "kelvo_doc_get"], "n": {"description": 5}},
                       {"title": "kelvo_page_get"}, ("kelvo_t",))
    out = S._respell(st, disp)
    assert out.description == "see kelvo_page_read(op='get')"
    assert out.input_schema == {
        "description": "kelvo_page_read(op='get')",
        "properties": {"kelvo_page_get": {"description": "after kelvo_page_read(op='list')",
                                          "enum": ["kelvo_page_get"], "default": "kelvo_page_get"}},
        "anyOf": [{"description": "kelvo_docs_read(op='get')"}, "kelvo_doc_get"], "n": {"description": 5}}
    assert out.annotations is st.annotations and out.title == st.title and out.ops is st.ops
    plain = S._single(T._BY_NAME["kelvo_status"], compact=False)
    assert S._respell(plain, disp) == plain


def test_alias_lines_and_surface_names(compact):
    lines = S.alias_lines(compact).split("; ")
    assert len(lines) == 24
    assert lines[:3] == ["kelvo_neighborhood \u2192 kelvo_graph op=neighborhood",
                         "kelvo_subgraph \u2192 kelvo_graph op=subgraph",
                         "kelvo_backlinks \u2192 kelvo_graph op=backlinks"]
    assert lines[-1] == "kelvo_doc_get \u2192 kelvo_docs_read op=get"
    assert S.alias_lines(S.build_surface("full")) == "" == S.alias_lines([])
    names = S.surface_names(compact)
    assert type(names) is set and names == {st.name for st in compact} and len(names) == 23


# Properties

alphabet = st.sampled_from(["kelvo_", "page_", "get", "doc", "_", "__", "x", "A", "1", " ", "(", "é", "\ud800", "\U0001f600",
                            "kelvo_page_get", "kelvo_doc_get", "read kelvo_doc_get('"])
texts = st.lists(alphabet, max_size=12).map("".join)
keys = st.sampled_from(["note", "notes", "detail", "body", "text", "docs", "items", "next_call", "x", "pages"])
values = st.recursive(st.one_of(texts, st.integers(), st.none()),
                      lambda inner: st.one_of(st.lists(inner, max_size=4), st.dictionaries(keys, inner, max_size=4)),
                      max_leaves=25)


@settings(max_examples=80, deadline=None)
@given(text=texts)
def test_substitution_matches_the_regex_model(disp, text):
    assert S.respell_text(text, disp) == subst(text, disp)
    assert S.respell_text(text, str.upper) == subst(text, str.upper)


@settings(max_examples=80, deadline=None)
@given(reply=values)
def test_guidance_matches_the_model(disp, reply):
    assert S.respell_guidance(reply, disp) == guidance(reply, disp)
    assert S.respell_guidance(reply, lambda n: n.upper()) == guidance(reply, lambda n: n.upper())


# Hostile inputs


def test_disp_that_raises_or_returns_non_text():
    def boom(name):
        raise ArithmeticError(name)
    with pytest.raises(ArithmeticError, match="kelvo_a"):
        S.respell_text("x kelvo_a", boom)
    with pytest.raises(ArithmeticError):
        S.respell_guidance({"notes": [{"hint": "kelvo_a"}]}, boom)
    with pytest.raises(TypeError, match="expected str instance, int found"):
        S.respell_text("kelvo_a", lambda n: 5)
    with pytest.raises(TypeError):
        S.respell_text("kelvo_a", None)
    assert S.respell_text("no names", boom) == "no names"  # never called without a match
    with pytest.raises(TypeError, match="expected string or bytes-like object, got 'int'"):
        S.respell_text(5, str)
    with pytest.raises(TypeError):
        S._respell(S.SurfaceTool("n", "t", None, {}, {}, ()), str)


def test_foreign_items_on_a_surface():
    for fn in (S.display_name, S.alias_lines, S.surface_names):
        with pytest.raises(AttributeError):
            fn([1])
        with pytest.raises(TypeError):
            fn(None)
    with pytest.raises(AttributeError):
        S._respell(5, str)
    # Another replaceable object is replaced the way copy.replace does it.
    ns = types.SimpleNamespace(description="kelvo_doc_get", input_schema={"description": "kelvo_doc_get"})
    assert S._respell(ns, str.upper) == types.SimpleNamespace(description="KELVO_DOC_GET",
                                                               input_schema={"description": "KELVO_DOC_GET"})
    odd = S.SurfaceTool("kelvo_a", "", "", {}, {}, (), ops=[1, 2])
    with pytest.raises(AttributeError):
        S.display_name([odd])
    with pytest.raises(TypeError):
        S.surface_names([S.SurfaceTool(["unhashable"], "", "", {}, {}, ())])


def test_deep_and_cyclic_replies_raise_recursion_error(disp):
    deep = []
    for _ in range(100_000):
        deep = [deep]
    with pytest.raises(RecursionError):
        S.respell_guidance(deep, disp)
    loop = {"x": []}
    loop["x"].append(loop)
    with pytest.raises(RecursionError):
        S.respell_guidance(loop, disp)
    schema = {}
    schema["s"] = schema
    with pytest.raises(RecursionError):
        S._respell(S.SurfaceTool("n", "t", "d", schema, {}, ()), disp)


def test_disp_mutating_the_reply_is_refused():
    reply = {"note": "kelvo_a", "other": 1}

    def mutate(name):
        reply.pop("other", None)
        return name
    with pytest.raises(RuntimeError, match="changed size"):
        S.respell_guidance(reply, mutate)
    items = ["kelvo_a", "kelvo_b", "kelvo_c"]
    assert S.respell_guidance(items, lambda n: items.clear() or n) == ["kelvo_a"]


# What the name map does to the reply while its "note" is respelled.
CHANGES = {
    "adds a key": lambda d: d.update(new=0),
    "drops a key ahead": lambda d: d.pop("b"),
    "drops the key being read": lambda d: d.pop("note"),
    "drops one read, adds one": lambda d: (d.pop("note"), d.update(new=0)),
    "drops one ahead, adds one": lambda d: (d.pop("b"), d.update(new=0)),
    "drops two ahead, adds two": lambda d: (d.pop("b"), d.pop("c"), d.update(x=0, y=0)),
    "re-adds the key being read": lambda d: (d.pop("note"), d.update(note="again")),
    "changes a value": lambda d: d.update(b=9),
}


@pytest.mark.parametrize("change", CHANGES)
def test_a_reply_changed_during_its_walk_stops_where_the_interpreters_loop_would(change):
    # The interpreter's own loop over the same dict, changed at the same point,
    # says whether and with what error the walk stops; its keys otherwise.
    def walked(reply, respell):
        try:
            return sorted(respell(reply))
        except RuntimeError as e:
            return str(e)

    def loop(reply):
        out = {}
        for key, value in reply.items():
            if key == "note":
                CHANGES[change](reply)
            out[key] = value
        return out

    def respell(reply):
        def mutate(name):
            CHANGES[change](reply)
            return name
        return S.respell_guidance(reply, mutate)

    def fresh():
        return {"note": "kelvo_a", "b": 1, "c": 2}

    assert walked(fresh(), respell) == walked(fresh(), loop)


def test_subclasses_are_read_as_their_base_values(disp):
    class Text(str):
        pass

    class Map(dict):
        pass
    out = S.respell_guidance(Map(note=Text("kelvo_page_get")), disp)
    assert type(out) is dict and out == {"note": "kelvo_page_read(op='get')"}
    assert type(S.respell_text(Text("plain"), disp)) is str


class Shouting(str):
    def __str__(self):
        return "WRONG"


def test_names_replaced_by_the_returned_text_as_re_sub_does():
    import re
    cases = [lambda n: Shouting("x"), lambda n: None, lambda n: n.upper()]
    for disp in cases:
        expected = re.sub("kelvo_[a-z_]+", lambda m, disp=disp: disp(m.group()), "see kelvo_page_get, kelvo_doc_get.")
        assert S.respell_text("see kelvo_page_get, kelvo_doc_get.", disp) == expected
        assert S.respell_guidance({"note": "see kelvo_page_get, kelvo_doc_get."}, disp) == {"note": expected}
    assert S.respell_text("see kelvo_page_get", lambda n: Shouting("x")) == "see x"
    # re.sub's refusal, after every name was shown.
    seen = []
    with pytest.raises(TypeError, match=r"^sequence item 1: expected str instance, int found$"):
        S.respell_text("a kelvo_x b kelvo_y", lambda n: seen.append(n) or (5 if n == "kelvo_x" else n))
    assert seen == ["kelvo_x", "kelvo_y"]
