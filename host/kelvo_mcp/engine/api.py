"""The engine interface: what the host's engine client offers, the records
and errors it deals in, and its time-outs. The embedded engine, its store,
the engine's HTTP API and the HTTP client all import this module; it imports
none of them.

Every call fails the way the host's HTTP client fails: an
`httpx.HTTPStatusError` carrying the engine's JSON "detail" body (and the
header X-Kelvo-Error where the engine sets one), an httpx time-out, or an
`httpx.TransportError` for an engine that cannot be reached.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Protocol

import httpx

ENGINE_URL = "https://engine.kelvo.example/v1"
# The host's HTTP time-outs, in seconds per phase; httpx carries them on each request.
TIMEOUTS = {"connect": 5.0, "read": 30.0, "write": 30.0, "pool": 5.0}
APPROVALS = ("approved", "changed", "none")
# The most digits of a number the engine reads from a client (a cursor, the
# numbering of an id): well inside SQLite's 64-bit integers.
NUMBER_DIGITS = 18

# A fault injected into the next call: an httpx time-out of that kind, or that HTTP status.
Fault = type[httpx.TimeoutException] | int


class CanvasError(Exception):
    """A canvas, state or store file cannot be used; the message says why, in one line."""


class PageNotFound(LookupError):
    """The canvas holds no page with that id (the engine's 404)."""


@dataclass
class Page:
    page_id: str
    title: str
    blocks: list[dict[str, Any]]
    updated_at: Any = None
    # None: the engine does not report an approval state for this page.
    approval: str | None = None


class EngineClient(Protocol):
    """The calls the host makes on the engine, one canvas per client."""

    # "embedded" or "http": what kelvo_status reports (never an address).
    kind: str

    @property
    def canvas(self) -> str: ...
    def wall_clock(self) -> float: ...
    def whoami(self) -> dict[str, Any]: ...
    def list_pages(self, limit: int = 50, cursor: str | None = None) -> dict[str, Any]: ...
    def get_page(self, page_id: str) -> dict[str, Any]: ...
    def create_page(self, title: str, blocks: list[dict[str, Any]], icon: str | None = None) -> dict[str, Any]: ...
    def append_blocks(self, page_id: str, blocks: list[dict[str, Any]]) -> dict[str, Any]: ...
    def write_blocks(self, page_id: str, blocks: list[dict[str, Any]]) -> dict[str, Any]: ...
    def update_blocks(self, page_id: str, updates: list[dict[str, Any]]) -> dict[str, Any]: ...
    def rename_page(self, page_id: str, title: str) -> dict[str, Any]: ...
    def delete_page(self, page_id: str) -> dict[str, Any]: ...
    # Saving a doc is one call: the doc in force of that name is found and
    # written over (or the page made) in one write transaction of the engine,
    # so concurrent saves of one new name make one page. The marker is the
    # engine's to write; `blocks` is the body. Reply: page_id, name, kind, created.
    def save_doc(self, name: str, blocks: list[dict[str, Any]], kind: str | None = None) -> dict[str, Any]: ...
    # The same for the learnings doc, found by its kind. Reply: page_id, created.
    def append_learning(self, blocks: list[dict[str, Any]]) -> dict[str, Any]: ...
    # The store generation, raised by every write and approval of the
    # engine's store: a scope rescans for a new agent only when it moved.
    # None: this engine cannot say (the scope then goes by the registry's age).
    def store_generation(self) -> int | None: ...
    def check_canvas(self, canvas: Any) -> None: ...
    def list_canvases(self) -> dict[str, Any]: ...
    def refuse(self, call: str, method: str = "POST") -> None: ...


def ascii_number(text: str | None, most: int = NUMBER_DIGITS) -> int | None:
    """The value of `text` when it is 1 to `most` ASCII digits, else None
    (str.isdigit takes "²", which int refuses, and any number of digits)."""
    if text is None or not 0 < len(text) <= most or not (text.isascii() and text.isdigit()):
        return None
    return int(text)
