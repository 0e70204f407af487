"""The canvas inside one call of the embedded engine: what a call reads and
writes through (`CanvasTx`), and that canvas held in memory (`MemoryTx`),
used under the engine's lock. The store's transaction
(`kelvo_mcp.engine.store.Tx`) is the other kind."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Protocol

from kelvo_mcp.engine.api import Page, ascii_number
from kelvo_mcp.engine.docs import doc_of, first_doc

if TYPE_CHECKING:
    from kelvo_mcp.refresh import DocInfo


class CanvasTx(Protocol):
    """The canvas inside one engine call."""

    def get(self, page_id: Any) -> Page | None: ...
    def listing(self, cursor: str | None, limit: int) -> tuple[list[Page], bool, str | None]: ...
    def all(self) -> list[Page]: ...
    def insert(self, page: Page) -> None: ...
    def update(self, page: Page) -> None: ...
    def delete(self, page_id: str) -> None: ...
    def next_page_id(self) -> str: ...
    def note_page_id(self, page_id: str) -> None: ...
    def next_block_number(self) -> int: ...
    def note_block_number(self, n: int) -> None: ...
    def find_doc(self, *, name: str | None = None, kind: str | None = None) -> tuple[Page, DocInfo] | None: ...
    def pages_named(self, name: str) -> list[Page]: ...
    def set_approval(self, page_id: str, state: str) -> None: ...
    def clear_approvals(self, name: str, keep: str | None = None) -> None: ...
    def normalise_approvals(self) -> None: ...
    def log_approval(self, name: str, page_id: str, revision: str | None, act: str, at: str,
                     body: str | None) -> None: ...
    def approval_log(self, name: str) -> list[dict[str, Any]]: ...
    def store_generation(self) -> int: ...
    def bump_generation(self) -> None: ...


class MemoryTx:
    """The in-memory canvas of an `EmbeddedEngine` (its pages, page and
    block counters), used under the engine's lock."""

    def __init__(self, engine: Any) -> None:
        self.engine = engine
        self.pages: list[Page] = engine._pages

    def get(self, page_id: Any) -> Page | None:
        return next((p for p in self.pages if p.page_id == page_id), None)

    def listing(self, cursor: str | None, limit: int) -> tuple[list[Page], bool, str | None]:
        start = ascii_number(cursor) or 0
        end = start + max(int(limit), 0)
        has_more = len(self.pages) > end
        return self.pages[start:end], has_more, str(end) if has_more else None

    def all(self) -> list[Page]:
        return list(self.pages)

    def insert(self, page: Page) -> None:
        self.pages.append(page)

    def update(self, page: Page) -> None:
        pass  # changed in place

    def delete(self, page_id: str) -> None:
        self.pages[:] = [p for p in self.pages if p.page_id != page_id]

    def next_page_id(self) -> str:
        while self.get(f"pg_{self.engine._next_id:04d}") is not None:
            self.engine._next_id += 1
        self.engine._next_id += 1
        return f"pg_{self.engine._next_id - 1:04d}"

    def note_page_id(self, page_id: str) -> None:
        held = ascii_number(page_id[3:]) if page_id[:3] == "pg_" else None
        if held is not None:
            self.engine._next_id = max(self.engine._next_id, held + 1)

    def next_block_number(self) -> int:
        self.engine._blocks_made += 1
        return int(self.engine._blocks_made)

    def note_block_number(self, n: int) -> None:
        self.engine._blocks_made = max(self.engine._blocks_made, n)

    def find_doc(self, *, name: str | None = None, kind: str | None = None) -> tuple[Page, DocInfo] | None:
        return first_doc(self.pages, name=name, kind=kind)

    def pages_named(self, name: str) -> list[Page]:
        return [p for p in self.pages if (d := doc_of(p)) is not None and d.name == name]

    def set_approval(self, page_id: str, state: str) -> None:
        page = self.get(page_id)
        if page is not None:
            page.approval = state

    def clear_approvals(self, name: str, keep: str | None = None) -> None:
        for page in self.pages_named(name):
            if page.page_id != keep:
                page.approval = "none"

    def normalise_approvals(self) -> None:
        seen: set[str] = set()
        for page in self.pages:
            d = doc_of(page)
            if d is None:
                continue
            if d.name in seen and page.approval == "approved":
                page.approval = "none"
            seen.add(d.name)

    def log_approval(self, name: str, page_id: str, revision: str | None, act: str, at: str,
                     body: str | None) -> None:
        self.engine._approval_log.append({"name": name, "page_id": page_id, "revision": revision, "act": act,
                                          "at": at, "body": body})

    def approval_log(self, name: str) -> list[dict[str, Any]]:
        return [dict(e) for e in self.engine._approval_log if e["name"] == name]

    def store_generation(self) -> int:
        return int(self.engine._store_generation)

    def bump_generation(self) -> None:
        self.engine._store_generation += 1
