"""A stand-in engine client for tests and benchmarks of the core.

`InMemoryEngine` answers the two calls the registry scan makes,
`list_pages(limit=...)` and `get_page(page_id)`, with the shapes the engine
uses: a listing {"pages": [rows], "has_more": bool} whose rows carry
"page_id", "title" and "updated_at", and a page detail with "page_id",
"title", "updated_at", "blocks" and, when the engine reports approvals,
"instruction": {"state": ...}. Every reply is a fresh copy, and every call is
logged in `calls` so that a test can check what was asked and in which order.
"""

from __future__ import annotations

import copy
from dataclasses import dataclass, field
from typing import Any

from kelvo_mcp.engine.api import Page, PageNotFound
from kelvo_mcp.engine.canvas import SENTINEL_KEY, doc_blocks, marker_text

__all__ = ["InMemoryEngine", "Page", "PageNotFound", "SENTINEL_KEY", "marker_text"]


@dataclass
class InMemoryEngine:
    """A docs canvas held in memory, addressed the way the host's client
    addresses it: neither call names a canvas."""

    pages: list[Page] = field(default_factory=list)
    calls: list[tuple[str, Any]] = field(default_factory=list)
    _next_id: int = 1

    # -- filling the canvas -------------------------------------------------

    def add_page(self, title: str = "", blocks: list[dict[str, Any]] | None = None, *,
                 page_id: str | None = None, updated_at: Any = None, approval: str | None = None) -> Page:
        if page_id is None:
            page_id = f"pg_{self._next_id:04d}"
            self._next_id += 1
        page = Page(page_id, title, list(blocks or []), updated_at, approval)
        self.pages.append(page)
        return page

    def add_doc(self, name: str, body: str = "", *, kind: str = "doc", pinned: bool = False,
                when_to_use: str = "", approval: str | None = "approved", title: str | None = None,
                page_id: str | None = None, updated_at: Any = "2025-01-01T00:00:00Z", v: int = 1) -> Page:
        """A doc page as the host saves one: the marker block first, then the
        body's Markdown as blocks, each with its `order`."""
        blocks = doc_blocks(name, body, kind=kind, pinned=pinned, when_to_use=when_to_use, v=v)
        return self.add_page(title if title is not None else name, blocks, page_id=page_id,
                             updated_at=updated_at, approval=approval)

    def approve(self, page_id: str, state: str | None = "approved") -> None:
        self._find(page_id).approval = state

    # -- the client calls ---------------------------------------------------

    def list_pages(self, limit: int = 50) -> dict[str, Any]:
        self.calls.append(("list_pages", limit))
        shown = self.pages[:max(int(limit), 0)]
        rows = [{"page_id": p.page_id, "title": p.title, "updated_at": p.updated_at} for p in shown]
        return {"pages": rows, "has_more": len(self.pages) > len(shown)}

    def get_page(self, page_id: str) -> dict[str, Any]:
        self.calls.append(("get_page", page_id))
        page = self._find(page_id)
        detail: dict[str, Any] = {"page_id": page.page_id, "title": page.title,
                                  "updated_at": page.updated_at, "blocks": copy.deepcopy(page.blocks)}
        if page.approval is not None:
            detail["instruction"] = {"state": page.approval}
        return detail

    def _find(self, page_id: str) -> Page:
        for page in self.pages:
            if page.page_id == page_id:
                return page
        raise PageNotFound(f"page {page_id!r} not found")

