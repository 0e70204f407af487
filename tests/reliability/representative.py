"""Ordinary arguments for each callable: the baseline that a hostile value
replaces one position of, and the inputs the leak and thread checks repeat.

`baseline(target)` gives (args, kwargs) for the required parameters. Known
callables get well-formed inputs from the table below; the rest get a value
chosen from the parameter's name, which is enough to get past the first
argument check.
"""

from __future__ import annotations

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
SENTINEL = '{"__kelvo_agent_doc__": {"name": "kelvo-first", "kind": "doc", "when_to_use": "always", "pinned": true, "v": 1}}'


class EngineClient:
    """A small well-behaved engine: one docs canvas page, pages served."""

    def __init__(self):
        self.page = {"id": "p1", "title": "kelvo-first", "updated_at": "2026-01-01T00:00:00Z"}

    def list_pages(self, *a, **k):
        return {"items": [dict(self.page)], "has_more": False}

    def get_page(self, *a, **k):
        blocks = [{"block_type": "paragraph", "text": SENTINEL, "order": 0}] + _blocks()
        return dict(self.page, blocks=blocks, approval="approved")

    def whoami(self, *a, **k):
        return {"role": "member", "scopes": ["read", "write"], "capabilities": {"pages": True}}


def _display(name):
    return name.replace("kelvo_", "kelvo.")


def _clock():
    return 1000.0


# label -> factory of (args, kwargs)
KNOWN: dict[str, Callable[[], tuple[tuple, dict]]] = {
    "lexicon.utf16_len": lambda: (("h\U0001f600llo",), {}),
    "lexicon.icon_ok": lambda: ((" \U0001f600 ",), {}),
    "refresh.blocks_to_markdown": lambda: ((_blocks(),), {}),
    "refresh.markdown_to_blocks": lambda: ((MARKDOWN,), {}),
    "refresh.parse_sentinel": lambda: ((SENTINEL,), {}),
    "refresh.make_sentinel": lambda: (("kelvo-first", "doc", "always", True, 1), {}),
    "refresh.valid_name": lambda: (("kelvo-first",), {}),
    "refresh._approval_of": lambda: (({"approval": "approved"},), {}),
    "refresh.doc_from_page": lambda: ((EngineClient().page, EngineClient().get_page()), {}),
    "refresh.derive_registry": lambda: ((EngineClient(),), {"clock": _clock}),
    "refresh.RefreshState": lambda: ((12, 10.0, _clock), {}),
    "capabilities.resolve": lambda: ((EngineClient(),), {}),
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
    "docs": lambda: [],
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
    "tools": lambda: [],
    "args": lambda: {},
    "arguments": lambda: {},
}


def value_for(param: Param) -> object:
    make = _BY_NAME.get(param.name)
    return make() if make else "kelvo_page_get"


def baseline(target: Target) -> tuple[tuple, dict]:
    """Arguments for the required parameters of `target`."""
    if target.label in KNOWN:
        return KNOWN[target.label]()
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

