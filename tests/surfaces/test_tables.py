"""The family and op tables, the fixed texts, the texts cut from the catalogue
at load, and the SurfaceTool record."""

import copy
import gc
import os
import pickle
import subprocess
import sys
import weakref

import pytest

from kelvo_mcp import surfaces as S
from kelvo_mcp import tools as T

SurfaceTool = S.SurfaceTool

FAMILY_ROWS = [
    ("graph", "kelvo_graph", "Graph neighbourhood", "Read the edges around a known node: op='neighborhood' for the 1-hop edges, op='subgraph' for a bounded multi-hop expansion, op='backlinks' for what points AT it (e.g. the pages that mention it). All need node_id + node_type from a prior result."),
    ("maintain", "kelvo_maintain", "Graph maintenance", "Write derived facts into the graph: op='enrich' re-extracts with the Apex engines, op='resolve' merges duplicate entities."),
    ("page_read", "kelvo_page_read", "Read pages", "Read pages in a canvas: op='list' lists them, op='get' returns one page with its ordered blocks (call it in the same turn before any edit), op='removed' lists what a page has lost (for op='restore')."),
    ("page_edit", "kelvo_page_edit", "Create or add to pages", "Page writes that CANNOT remove anything: op='create' makes a new page, op='append' adds blocks to the end of a page, op='insert' adds them after a named block, op='update' edits named existing blocks in place, op='move' reorders blocks, op='rename' retitles the page, op='meta' pins or groups it, op='restore' puts back blocks it lost. For rich content fetch kelvo_page_read(op='grammar') first. Replacing a page's blocks is a different tool (kelvo_page_write) because it can remove content."),
    ("canvas_read", "kelvo_canvas_read", "Canvases", "See canvases: op='list' every canvas, op='current' the connection's immutable default, op='use' resolve a name/id to a canvas_handle for per-call targeting (nothing is switched)."),
    ("canvas_erase", "kelvo_canvas_erase", "Erase a canvas", "IRREVERSIBLE two-phase canvas operations: op='clear' erases every node and edge, op='delete' removes the canvas itself. The first call returns a confirm_token and a next_call; only the second call with that exact confirm executes."),
    ("docs_read", "kelvo_docs_read", "Standing docs", "Read the agent's standing docs: op='refresh' the digest of pinned docs and skills (once per session), op='list' every doc, op='get' one doc's full body."),
]

OPS_ROWS = [
    ("kelvo_neighborhood", "neighborhood", "graph"), ("kelvo_subgraph", "subgraph", "graph"),
    ("kelvo_backlinks", "backlinks", "graph"), ("kelvo_enrich", "enrich", "maintain"),
    ("kelvo_resolve", "resolve", "maintain"), ("kelvo_page_list", "list", "page_read"),
    ("kelvo_page_get", "get", "page_read"), ("kelvo_page_removed", "removed", "page_read"),
    ("kelvo_page_create", "create", "page_edit"), ("kelvo_page_append", "append", "page_edit"),
    ("kelvo_page_update", "update", "page_edit"), ("kelvo_page_insert", "insert", "page_edit"),
    ("kelvo_page_move", "move", "page_edit"), ("kelvo_page_rename", "rename", "page_edit"),
    ("kelvo_page_meta", "meta", "page_edit"), ("kelvo_page_restore", "restore", "page_edit"),
    ("kelvo_canvas_list", "list", "canvas_read"), ("kelvo_canvas_current", "current", "canvas_read"),
    ("kelvo_canvas_use", "use", "canvas_read"), ("kelvo_canvas_clear", "clear", "canvas_erase"),
    ("kelvo_canvas_delete", "delete", "canvas_erase"), ("kelvo_docs_refresh", "refresh", "docs_read"),
    ("kelvo_doc_list", "list", "docs_read"), ("kelvo_doc_get", "get", "docs_read"),
]

SHORT_CANVAS = "Canvas for THIS call only (name | id | canvas_handle). Omitted = the connection's immutable default. Nothing is remembered between calls."
SHORT_DOCS_CANVAS = 'Canvas holding the agent docs, for THIS call only. Omitted = the configured docs canvas (KELVO_DOCS_CANVAS).'
GRAMMAR_SUMMARY = " op='grammar' returns the full block grammar for composing rich pages (tables, diagrams, live views, media, controls, styling, layout) — fetch it once before building anything beyond plain text and tables."
POINTER = "(Every other block kind — DIAGRAM/CHART, LIVE VIEW, MEDIA, ILLUSTRATION, INTERACTIVE CONTROLS, PROGRESS/DATES/BUTTONS — plus inline markdown, STYLING, the MASTHEAD and `layout` has an exact shape: call kelvo_page_read(op='grammar') once BEFORE composing such a page and follow it. A guessed shape is not rejected — it is downgraded to plain text — so read first rather than rewrite the page after.)"


def test_export_list_in_order():
    assert S.__all__ == ("FAMILIES", "OPS", "PAGE_CREATE_SHORT", "PAGE_GRAMMAR", "PROFILES", "SurfaceTool",
                         "alias_lines", "build_surface", "display_name", "ignored_args", "resolve_call",
                         "respell_guidance", "respell_text", "surface_names")
    for name in S.__all__ + ("_single", "_family", "_short_canvas", "_respell", "_NAME_RE", "_TRUNC_RE",
                             "GUIDANCE_KEYS", "CONTENT_KEYS", "SHORT_CANVAS_DOC", "SHORT_DOCS_CANVAS_DOC",
                             "_GRAMMAR_SUMMARY", "_AUTHORING", "_FAMILY_TOOL_NAMES"):
        assert hasattr(S, name), name


def test_family_table_rows_in_order():
    assert list(S.FAMILIES.items()) == [(k, (n, t, d)) for k, n, t, d in FAMILY_ROWS]
    assert S._FAMILY_TOOL_NAMES == frozenset(n for _, n, _, _ in FAMILY_ROWS)


def test_op_table_and_catalogue_family_keys_agree():
    assert list(S.OPS.items()) == [(m, o) for m, o, _ in OPS_ROWS]
    for member, _, family in OPS_ROWS:
        assert T._BY_NAME[member].family == family
    in_families = {t.name for t in T.TOOLS if t.family is not None}
    assert in_families == set(S.OPS)
    for key in S.FAMILIES:
        words = [o for _, o, f in OPS_ROWS if f == key]
        assert len(words) == len(set(words))


def test_fixed_texts_and_sets():
    assert S.PROFILES == ("full", "lean", "compact")
    assert S.SHORT_CANVAS_DOC == SHORT_CANVAS
    assert S.SHORT_DOCS_CANVAS_DOC == SHORT_DOCS_CANVAS
    assert S._GRAMMAR_SUMMARY == GRAMMAR_SUMMARY and S._GRAMMAR_SUMMARY.startswith(" op=")
    assert S._AUTHORING == frozenset({"kelvo_page_create", "kelvo_page_append", "kelvo_page_update",
                                      "kelvo_page_write", "kelvo_page_insert"})
    assert S.GUIDANCE_KEYS == frozenset({"note", "notes", "_notes", "warning", "hint", "refused", "reason",
                                         "error", "message", "detail", "recover"})
    assert S.CONTENT_KEYS == frozenset({"body", "text", "blocks", "answer", "one_liner", "when_to_use", "items",
                                        "candidates", "citations", "evidence", "nodes", "edges", "pages", "docs",
                                        "pinned", "skills"})
    assert S._NAME_RE.pattern == "kelvo_[a-z_]+" and S._NAME_RE.flags == 32  # re.UNICODE only
    assert S._TRUNC_RE.pattern == "read kelvo_doc_get\\('"
    assert S._TRUNC_RE.search("x read kelvo_doc_get('y')").group(0) == "read kelvo_doc_get('"


def test_page_texts_cut_from_the_page_create_description():
    d = T._BY_NAME["kelvo_page_create"].description
    g0, g1 = d.index("\u2022 DIAGRAM"), d.index("Returns {page_id, title, blocks_written")
    assert S.PAGE_GRAMMAR == d[g0:g1].rstrip()
    assert S.PAGE_GRAMMAR.startswith("\u2022 DIAGRAM") and S.PAGE_GRAMMAR == S.PAGE_GRAMMAR.rstrip()
    assert "Returns {page_id" not in S.PAGE_GRAMMAR
    assert S.PAGE_CREATE_SHORT == d[:g0].rstrip() + "\n" + POINTER + "\n" + d[g1:]
    assert "\u2022 DIAGRAM" not in S.PAGE_CREATE_SHORT
    assert "Returns {page_id, title, blocks_written" in S.PAGE_CREATE_SHORT


LOAD = """
import sys, types
sys.path.insert(0, {host!r})
import kelvo_mcp.tools as tools
tools._BY_NAME = dict(tools._BY_NAME)
t = tools._BY_NAME["kelvo_page_create"]
tools._BY_NAME["kelvo_page_create"] = tools.Tool(t.name, t.title, {description!r}, t.input_schema, t.annotations)
try:
    import kelvo_mcp.surfaces as S
except ImportError as e:
    print("ImportError", e)
else:
    print(repr(S.PAGE_GRAMMAR), repr(S.PAGE_CREATE_SHORT))
"""


def load_with(description):
    host = str(T.__file__).rsplit("/kelvo_mcp/", 1)[0]
    code = LOAD.format(host=host, description=description)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                         env={**os.environ, "SKBUILD_EDITABLE_SKIP": "1"})
    assert out.returncode == 0, out.stderr
    return out.stdout.strip()


@pytest.mark.parametrize("description", [
    "no markers at all",
    "only \u2022 DIAGRAM here",
    "only Returns {page_id, title, blocks_written} here",
])
def test_loading_fails_without_both_markers(description):
    assert load_with(description).startswith("ImportError")


def test_cut_trims_unicode_whitespace_only_at_the_cut():
    got = load_with("Head \u3000\n\u2022 DIAGRAM x \u2029\tReturns {page_id, title, blocks_written} tail")
    assert got == repr("\u2022 DIAGRAM x") + " " + repr("Head\n" + POINTER + "\nReturns {page_id, title, blocks_written} tail")


# The record


def tool(name="kelvo_x", **kw):
    fields = dict(title="X", description="d", input_schema={}, annotations={}, members=(name,))
    fields.update(kw)
    return SurfaceTool(name, **fields)


def test_record_defaults_fresh_ops_and_is_family():
    a, b = tool(), tool()
    assert a.ops == {} and a.writes is False and a.is_family is False
    assert a.ops is not b.ops
    assert tool(ops={"get": "kelvo_page_get"}).is_family is True
    assert SurfaceTool.__match_args__ == ("name", "title", "description", "input_schema", "annotations",
                                          "members", "ops", "writes")
    full = SurfaceTool("n", "t", "d", {"s": 1}, {"a": 1}, ("m",), {"o": "m"}, True)
    assert full == SurfaceTool(name="n", title="t", description="d", input_schema={"s": 1}, annotations={"a": 1},
                               members=("m",), ops={"o": "m"}, writes=True)
    assert full != tool()


def test_record_repr_is_dataclass_style():
    assert repr(tool()) == ("SurfaceTool(name='kelvo_x', title='X', description='d', input_schema={}, "
                            "annotations={}, members=('kelvo_x',), ops={}, writes=False)")


def test_record_is_immutable_and_replace_makes_a_copy():
    a = tool()
    with pytest.raises(AttributeError):
        a.name = "other"
    with pytest.raises(AttributeError):
        a.is_family = True
    assert a.name == "kelvo_x"
    b = copy.replace(a, title="Y")
    assert b.title == "Y" and a.title == "X" and b.name == a.name
    match a:
        case SurfaceTool(name, title):
            assert (name, title) == ("kelvo_x", "X")


def test_record_pickles_and_is_collected_in_cycles():
    a = tool(ops={"get": "kelvo_page_get"})
    assert pickle.loads(pickle.dumps(a)) == a
    class Box:
        pass
    box = Box()
    box.st = tool(input_schema={"box": box})
    ref = weakref.ref(box)
    del box
    gc.collect()
    assert ref() is None


def test_record_argument_errors():
    with pytest.raises(TypeError):
        SurfaceTool("n", "t")
    with pytest.raises(TypeError):
        tool(nope=1)
