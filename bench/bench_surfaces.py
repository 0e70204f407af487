"""Tool surfaces: building the surfaces, resolving a family call, respelling
a large reply and a long text."""

import copy
import json
import re

from kelvo_mcp import surfaces as S
from kelvo_mcp import tools as T

from harness import Workload

COMPACT = S.build_surface("compact")
DISP = S.display_name(COMPACT)
NAME_RE = re.compile("kelvo_[a-z_]+")

CALL = {"op": "insert", "page_id": "p-123", "after": "b-7", "blocks": [{"block_type": "paragraph", "text": "x"}],
        "canvas": "work"}


def reply(target_bytes: int) -> dict:
    """A tool reply of about `target_bytes` of JSON: pages with bodies, nodes,
    guidance notes naming member tools, details and ready-made next calls."""
    pages, size, i = [], 0, 0
    while size < target_bytes:
        page = {
            "page_id": f"p-{i}",
            "title": f"Meeting notes {i}",
            "body": f"Decisions of week {i}: ship the importer. " * 4
                    + ("read kelvo_doc_get('style') for the rest" if i % 5 == 0 else ""),
            "hint": f"edit with kelvo_page_update or kelvo_page_insert after kelvo_page_get (page {i})",
            "blocks": [{"block_type": "paragraph", "text": f"kelvo_page_get paragraph {j}"} for j in range(3)],
            "meta": {"tags": ["a", "b", i], "notes": ["see kelvo_page_list", "then kelvo_doc_list"],
                     "detail": {"why": "kelvo_canvas_use first", "count": i}},
            "next_call": {"tool": "kelvo_canvas_clear", "args": {"confirm": f"t-{i}"}},
        }
        pages.append(page)
        size += len(json.dumps(page))
        i += 1
    return {"pages": pages, "notes": ["use kelvo_page_read", "kelvo_docs_refresh once"], "total": i}


REPLY_1M = reply(1_000_000)
REPLY_250K = reply(250_000)
TEXT_100K = ("Call kelvo_page_get before kelvo_page_update; a __kelvo_agent_doc__ marker stays; "
             "kelvo_search is a single tool. ") * 900


def python_respell(text: str) -> str:
    return NAME_RE.sub(lambda m: m.group(0) if m.group(0).endswith("__") else DISP(m.group(0)), text)


def workloads() -> list[Workload]:
    visible = T.visible_tools(readonly=False, profile="full", absent=frozenset())
    return [
        Workload("build_surface('full')", lambda: S.build_surface("full"),
                 lambda: T.visible_tools(readonly=False, profile="full", absent=frozenset()), "visible_tools()"),
        Workload("build_surface('compact')", lambda: S.build_surface("compact"),
                 lambda: copy.deepcopy([t.input_schema for t in visible]), "deepcopy(schemas)"),
        Workload("resolve_call family call, 5 args", lambda: S.resolve_call(COMPACT, "kelvo_page_edit", CALL),
                 lambda: {st.name: st for st in COMPACT}, "{name: st} of the surface"),
        Workload("respell_guidance 250 KB reply", lambda: S.respell_guidance(REPLY_250K, DISP),
                 lambda: copy.deepcopy(REPLY_250K), "copy.deepcopy"),
        Workload("respell_guidance 1 MB reply", lambda: S.respell_guidance(REPLY_1M, DISP),
                 lambda: copy.deepcopy(REPLY_1M), "copy.deepcopy"),
        Workload("respell_text 100 KB", lambda: S.respell_text(TEXT_100K, DISP),
                 lambda: python_respell(TEXT_100K), "re.sub with the name map"),
    ]


# -- Short calls against plain Python ---------------------------------------------

import plain  # noqa: E402

SEARCH_ARGS = {"query": "release checklist", "limit": 10}
GRAPH_ARGS = {"op": "neighborhood", "node_id": "n-17", "node_type": "entity", "depth": 2, "max_nodes": 40,
              "canvas": "research"}


def short_workloads() -> list[Workload]:
    py_disp = plain.display_name(COMPACT)
    names = list(S.OPS) + [st.name for st in COMPACT] + ["kelvo_unknown"]
    assert [DISP(n) for n in names] == [py_disp(n) for n in names]
    assert S.resolve_call(COMPACT, "kelvo_search", SEARCH_ARGS) == plain.resolve_call(COMPACT, "kelvo_search",
                                                                                     SEARCH_ARGS)
    assert S.ignored_args(COMPACT, "kelvo_graph", GRAPH_ARGS) == plain.ignored_args(COMPACT, "kelvo_graph", GRAPH_ARGS)
    return [
        Workload("display_name(compact surface)", lambda: S.display_name(COMPACT),
                 lambda: plain.display_name(COMPACT), "plain Python", target=135),
        Workload("resolve_call single tool, 2 args", lambda: S.resolve_call(COMPACT, "kelvo_search", SEARCH_ARGS),
                 lambda: plain.resolve_call(COMPACT, "kelvo_search", SEARCH_ARGS), "plain Python", target=32),
        Workload("ignored_args graph neighborhood, 6 args", lambda: S.ignored_args(COMPACT, "kelvo_graph", GRAPH_ARGS),
                 lambda: plain.ignored_args(COMPACT, "kelvo_graph", GRAPH_ARGS), "plain Python", target=38),
    ]


_base_workloads = workloads


def workloads() -> list[Workload]:  # noqa: F811
    return _base_workloads() + short_workloads()
