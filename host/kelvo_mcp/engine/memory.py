"""The canvas inside one call of the embedded engine: what a call reads and
writes through (`CanvasTx`), and that canvas held in memory (`MemoryTx`),
used under the engine's lock. The store's transaction
(`kelvo_mcp.engine.store.Tx`) is the other kind."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Protocol

from kelvo_mcp.engine.api import Page, ascii_number
from kelvo_mcp.engine.docs import first_doc

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
