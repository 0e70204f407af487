"""Ordinary arguments for each callable: the baseline that a hostile value
replaces one position of, and the inputs the leak and thread checks repeat.

`baseline(target)` gives (args, kwargs) for the required parameters. Known
callables get well-formed inputs from the table below; the rest get a value
chosen from the parameter's name, which is enough to get past the first
argument check.
"""

from __future__ import annotations

import time
from typing import Callable

from callables import Param, Target


def _blocks():
    return [
        {"block_type": "heading_1", "text": "Kelvo first", "order": 1},
        {"block_type": "paragraph", "text": "Use kelvo_page_get before kelvo_page_update.", "order": 2},
        {"block_type": "bulleted_list", "text": "one", "order": 3},
        {"block_type": "todo", "text": "two", "order": 4, "checked": True},
        {"block_type": "code", "text": "x = 1\ny = 2", "order": 5},
    ]


MARKDOWN = "# Title\n\nSome *text* with kelvo_page_get.\n\n- one\n- two\n\n1. first\n\n> quote\n\n```\ncode\n```\n"


def _sentinel(name="kelvo-first", kind="doc", pinned=True):
    from kelvo_mcp.memory_engine import marker_text

    return marker_text(name, kind, when_to_use="always", pinned=pinned)


class EngineClient:
    """A small well-behaved engine: two docs on the docs canvas, pages served.
    Every call gives the GIL away once, so threads interleave inside calls."""

    ROWS = (("p1", "kelvo-first", "doc"), ("p2", "release-checklist", "skill"))

    def list_pages(self, limit=50, **_):
        time.sleep(0)
        rows = [{"page_id": pid, "title": name, "updated_at": "2026-01-01T00:00:00Z"}
                for pid, name, _kind in self.ROWS]
        return {"pages": rows[:limit] if isinstance(limit, int) else rows, "has_more": False}

    def get_page(self, page_id, **_):
        time.sleep(0)
        for pid, name, kind in self.ROWS:
            if pid == page_id:
                blocks = [{"block_type": "paragraph", "text": _sentinel(name, kind), "order": 0}] + _blocks()
                return {"page_id": pid, "title": name, "updated_at": "2026-01-01T00:00:00Z",
                        "blocks": blocks, "instruction": {"state": "approved"}}
        raise LookupError(page_id)

    def whoami(self, **_):
        time.sleep(0)
        return {"role": "member", "scopes": ["read", "write"], "capabilities": {"pages": True}}


def _display(name):
    return name.replace("kelvo_", "kelvo.")


def _clock():
    return 1000.0


def _surface(profile="compact"):
    from kelvo_mcp import surfaces

    return surfaces.build_surface(profile)


def _family_tool(surface):
    return next((t for t in surface if t.ops), surface[0])


def _host_tool(name="kelvo_page_create"):
    from kelvo_mcp import tools

    return tools._BY_NAME.get(name) or tools.TOOLS[0]


def _family_members(family):
    from kelvo_mcp import surfaces

    ops = surfaces.OPS
    return [name for name in ops if name in _family_names(family)] or list(ops)[:2]


def _family_names(family):
    from kelvo_mcp import tools

    return {t.name for t in tools.TOOLS if getattr(t, "family", None) == family}


def _doc():
    from kelvo_mcp import refresh

    c = EngineClient()
    return refresh.doc_from_page(c.list_pages()["pages"][0], c.get_page("p1"))


def _request():
    import httpx

    return httpx.Request("POST", "https://engine.example/v1/pages?token=sk-secret123")


def _response(status=404, body=None, headers=None):
    import httpx

    return httpx.Response(status, json=body if body is not None else {"detail": "page not found"},
                          headers=headers or {}, request=_request())


def _status_error(status=404):
    import httpx

    resp = _response(status)
    return httpx.HTTPStatusError(f"{status} error", request=resp.request, response=resp)


def _read_timeout():
    import httpx

    return httpx.ReadTimeout("timed out", request=_request())


# label -> factory of (args, kwargs)
KNOWN: dict[str, Callable[[], tuple[tuple, dict]]] = {
    "lexicon.utf16_len": lambda: (("h\U0001f600llo",), {}),
    "lexicon.icon_ok": lambda: ((" \U0001f600 ",), {}),
    "refresh.blocks_to_markdown": lambda: ((_blocks(),), {}),
    "refresh.markdown_to_blocks": lambda: ((MARKDOWN,), {}),
    "refresh.parse_sentinel": lambda: ((_sentinel(),), {}),
    "refresh.make_sentinel": lambda: (("kelvo-first", "doc", "always", True, 1), {}),
    "refresh.valid_name": lambda: (("kelvo-first",), {}),
    "refresh._approval_of": lambda: (({"instruction": {"state": "approved"}},), {}),
    "refresh.doc_from_page": lambda: ((EngineClient().list_pages()["pages"][0], EngineClient().get_page("p1")), {}),
    "refresh.derive_registry": lambda: ((EngineClient(),), {"clock": _clock}),
    "refresh.RefreshState": lambda: ((12, 10.0, _clock), {}),
    # A fixed time: the digest is stamped to the second, and calls that are
    # compared with each other may fall either side of one.
    "refresh.build_digest": lambda: ((_BY_NAME["docs"](),), {"now": 1000.0}),
    "capabilities.resolve": lambda: ((EngineClient(),), {}),
    "capabilities._canvas_missing": lambda: ((_response(404, headers={"X-Kelvo-Error": "canvas_not_found"}),), {}),
    "surfaces.build_surface": lambda: (("compact",), {"readonly": False, "absent": frozenset({"kelvo_page_move"})}),
    "surfaces.resolve_call": lambda: ((_surface(), _family_tool(_surface()).name,
                                       {"op": next(iter(_family_tool(_surface()).ops or {"x": 1})), "canvas": "c",
                                        "node_id": "n1", "node_type": "page"}), {}),
    "surfaces.ignored_args": lambda: ((_surface(), _family_tool(_surface()).name,
                                       {"op": next(iter(_family_tool(_surface()).ops or {"x": 1})), "zzz": 1}), {}),
    "surfaces.respell_guidance": lambda: (({"hint": "call kelvo_page_get then kelvo_page_update",
                                            "items": ["kelvo_search", {"next": "kelvo_answer"}]}, _display), {}),
    "surfaces.respell_text": lambda: (("use kelvo_page_get, not __kelvo_agent_doc__", _display), {}),
    "surfaces._respell": lambda: ((_family_tool(_surface()), _display), {}),
    "surfaces._single": lambda: ((_host_tool(),), {"compact": True}),
    "surfaces._short_canvas": lambda: ((dict(_host_tool().input_schema), False), {}),
    "surfaces._family": lambda: (("graph", [_host_tool(n) for n in _family_members("graph")]), {}),
    "explain.http_failure": lambda: (("kelvo_page_update", _status_error(409)), {"writes": True, "canvas": "docs"}),
    "explain.timeout": lambda: (("kelvo_page_update", _read_timeout()), {"writes": True, "canvas": "docs"}),
    "explain.timeout_phase": lambda: ((_read_timeout(),), {}),
    "explain._budget": lambda: ((_read_timeout(), "read"), {}),
    "explain.engine_reason": lambda: ((_response(422, {"detail": [{"loc": ["body", "title"], "msg": "field required"}]}),), {}),
    "explain.not_found": lambda: (("page", "p1", "docs", ["the page was deleted", "", "the id is from another canvas"]), {}),
    "explain.possible": lambda: ((["a", "", "b", "c"],), {}),
    "explain.call": lambda: (("kelvo_page_get", "docs"), {}),
    "instructions.render": lambda: (([t.name for t in _surface("full")],),
                                    {"display": _display, "profile": "full", "extra": "More."}),
    "capabilities._probe_pages": lambda: ((EngineClient(),), {}),
}

_BY_NAME: dict[str, Callable[[], object]] = {
    "text": lambda: MARKDOWN,
    "s": lambda: "kelvo_page_get",
    "name": lambda: "kelvo_page_get",
    "title": lambda: "Title",
    "kind": lambda: "doc",
    "profile": lambda: "full",
    "blocks": _blocks,
    "docs": lambda: list(__import__("kelvo_mcp.refresh").refresh.derive_registry(EngineClient(), clock=_clock)[0]),
    "client": EngineClient,
    "clock": lambda: _clock,
    "display": lambda: _display,
    "disp": lambda: _display,
    "now": lambda: 1000.0,
    "calls": lambda: 12,
    "minutes": lambda: 10.0,
    "retry_seconds": lambda: 60.0,
    "cap_chars": lambda: 500,
    "max_pages": lambda: 50,
    "budget_seconds": lambda: 5.0,
    "v": lambda: 1,
    "pinned": lambda: True,
    "absent": lambda: frozenset(),
    "surface": _surface,
    "exc": _status_error,
    "response": _response,
    "resp": _response,
    "causes": lambda: ["the page was deleted"],
    "tool": lambda: "kelvo_page_get",
    "canvas": lambda: "docs",
    "ident": lambda: "p1",
    "visible": lambda: ["kelvo_page_get", "kelvo_search"],
    "st": lambda: _family_tool(_surface()),
    "obj": lambda: {"hint": "kelvo_page_get"},
    "d": _doc,
    "body": lambda: "Body text.\n\nMore.",
    "cap": lambda: 40,
    "tools": lambda: [],
    "args": lambda: {},
    "arguments": lambda: {},
}


def value_for(param: Param) -> object:
    make = _BY_NAME.get(param.name)
    return make() if make else "kelvo_page_get"


def baseline(target: Target) -> tuple[tuple, dict]:
    """Arguments for the required parameters of `target` (every field of a
    record type)."""
    if target.label in KNOWN:
        return KNOWN[target.label]()
    if target.is_type and "__match_args__" in vars(target.call):
        return tuple(value_for(p) for p in target.params), {}
    args: list[object] = []
    kwargs: dict[str, object] = {}
    for p in target.params:
        if not p.required:
            continue
        if p.kind == "named":
            kwargs[p.name] = value_for(p)
        else:
            args.append(value_for(p))
    return tuple(args), kwargs


def instance_of(cls: type, all_targets: list[Target]):
    """An ordinary instance of a module class, for its methods; None if none
    can be made."""
    for t in all_targets:
        if t.call is cls:
            try:
                args, kwargs = baseline(t)
                return cls(*args, **kwargs)
            except Exception:
                pass
    try:
        return cls()
    except Exception:
        return None

