"""The embedded engine: what the reference server runs on.

A docs canvas behind the calls the host's HTTP client makes, failing the way
that client fails (an `httpx.HTTPStatusError` carrying the engine's JSON
"detail" body, an httpx time-out). The canvas is held in memory (the default;
optionally kept in a JSON state file) or in a durable store
(`kelvo_mcp.engine.stores`: SQLite or PostgreSQL), which several engines, in one process or in several,
share. `kelvo_mcp.engine.canvas` fills one from a canvas file or opens one on a
store; `python -m kelvo_mcp.engine` serves one over HTTP
(`kelvo_mcp.engine.http_api`), and `kelvo_mcp.engine.client.HttpEngine` is its
client, with the same calls and replies as this class.

Threads: any number may call one engine at once. In memory, each call holds
the engine's lock for its whole length, so every call sees whole calls. On a
store (SQLite or PostgreSQL, `kelvo_mcp.engine.stores`), each call is one
transaction and nothing of the canvas is kept between calls: readers run side
by side, writers one at a time, across processes and machines too, and a
write is acknowledged only after its commit. A call whose transaction the
database gave up on a conflict runs again, a few times.
"""

from __future__ import annotations

import copy
import datetime
import threading
import time
import urllib.parse
from collections import deque
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import IO, TYPE_CHECKING, Any

import httpx

from kelvo_mcp.engine.api import ENGINE_URL, TIMEOUTS, Fault, Page, ascii_number
from kelvo_mcp.engine.approvals import Approvals
from kelvo_mcp.engine.docs import LEARNINGS, marker_block
from kelvo_mcp.engine.docs import revision as revision_of
from kelvo_mcp.engine.memory import CanvasTx, MemoryTx
from kelvo_mcp.engine.statefile import write_state
from kelvo_mcp.engine.stores import StoreConflict, StoreUnavailable, retried

if TYPE_CHECKING:
    from kelvo_mcp.engine.stores import StoreBackend

_URL_PATH_MAX = 2000


class EmbeddedEngine(Approvals):
    """One canvas served in process, through the calls of the host's engine
    client; in memory, or on `store` when one is given (its canvas name and
    identity then come from the store once it has been filled). The user's
    acts (approvals, revocations, the log) are `Approvals`'."""

    kind = "embedded"

    def __init__(self, canvas: str = "agent_docs", identity: dict[str, Any] | None = None, *,
                 wall_clock: Callable[[], float] = time.time, store: StoreBackend | None = None) -> None:
        self.store = store
        self._pages: list[Page] = []
        self._next_id = 1
        self.canvas = canvas
        self.identity = dict(identity or {})
        if store is not None:
            with store.transaction() as tx:
                self.canvas = tx.meta("canvas") or canvas
                self.identity = tx.meta("identity") or self.identity
        self.wall_clock = wall_clock
        self.calls: deque[tuple[str, Any]] = deque(maxlen=256)  # a long-lived server keeps the recent ones
        self.faults: dict[str, Fault] = {}
        self.lock = threading.RLock()
        self.state_file: Path | None = None
        self.state_lock: IO[str] | None = None  # held while this engine keeps the state file
        self._blocks_made = 0
        self._approval_log: list[dict[str, Any]] = []  # in memory only: a store keeps its own
        self._store_generation = 0

    @property
    def pages(self) -> list[Page]:
        """The canvas's pages in order: the live list in memory, a snapshot
        read from the store."""
        if self.store is None:
            return self._pages
        with self.store.transaction() as tx:
            return tx.all()

    @pages.setter
    def pages(self, pages: list[Page]) -> None:
        if self.store is not None and pages:
            raise TypeError("a store-backed engine's pages change through its calls")
        self._pages = pages

    def close(self) -> None:
        if self.store is not None:
            self.store.close()
        if self.state_lock is not None:
            self.state_lock.close()  # the lock goes with the file's last descriptor
            self.state_lock = None

    # -- transactions -------------------------------------------------------

    @contextmanager
    def _tx(self, write: bool = False, method: str = "GET", path: str = "/") -> Iterator[CanvasTx]:
        if self.store is None:
            with self.lock:
                mem = MemoryTx(self)
                yield mem
                if write:
                    mem.bump_generation()
                    self.save_state()
            return
        try:
            with self.store.transaction(write) as tx:
                yield tx
        except StoreConflict:
            raise  # run again by `retried`
        except StoreUnavailable as e:
            raise self.status_error(503, method, path, str(e)) from None

    # -- filling and faults -------------------------------------------------

    @retried
    def add_page(self, title: str = "", blocks: list[dict[str, Any]] | None = None, *,
                 page_id: str | None = None, updated_at: Any = None, approval: str | None = None) -> Page:
        with self._tx(write=True) as tx:
            return self._insert(tx, title, list(blocks or []), page_id, updated_at, approval)

    def _insert(self, tx: CanvasTx, title: str, blocks: list[dict[str, Any]], page_id: str | None,
                updated_at: Any, approval: str | None) -> Page:
        if page_id:
            tx.note_page_id(page_id)  # ids given, as from a canvas file: new ones are numbered past them
        page = Page(page_id or tx.next_page_id(), title, [], updated_at, approval)
        page.blocks = [self._stamp(tx, b, i) for i, b in enumerate(blocks)]
        tx.insert(page)
        return page

    @retried
    def store_generation(self) -> int:
        """The store generation, raised by every write; what a scope compares
        with the one its registry was scanned at."""
        with self._serving("store_generation", "GET", "/generation") as tx:
            return tx.store_generation()

    def fail_next(self, call: str, fault: Fault) -> None:
        """The next `call` fails: an httpx time-out of that kind, or that HTTP status."""
        with self.lock:
            self.faults[call] = fault

    def request(self, method: str, path: str) -> httpx.Request:
        # Ids come from agents: quoted, and clipped where a real client would
        # refuse the URL before sending it.
        path = urllib.parse.quote(f"/canvases/{self.canvas}{path}", errors="backslashreplace")[:_URL_PATH_MAX]
        return httpx.Request(method, f"{ENGINE_URL}{path}", extensions={"timeout": dict(TIMEOUTS)})

    def status_error(self, status: int, method: str, path: str, detail: Any,
                     headers: dict[str, str] | None = None) -> httpx.HTTPStatusError:
        req = self.request(method, path)
        resp = httpx.Response(status, json={"detail": detail}, headers=headers, request=req)
        kind = "Client" if status < 500 else "Server"
        return httpx.HTTPStatusError(f"{kind} error '{status} {resp.reason_phrase}' for url '{req.url}'",
                                     request=req, response=resp)

    @contextmanager
    def _serving(self, call: str, method: str, path: str, arg: Any = None, *,
                 write: bool = False) -> Iterator[CanvasTx]:
        with self.lock:
            self.calls.append((call, arg))
            fault = self.faults.pop(call, None)
        if isinstance(fault, int):
            raise self.status_error(fault, method, path, "internal error while serving the request")
        if fault is not None:
            raise fault("timed out", request=self.request(method, path))
        with self._tx(write, method, path) as tx:
            yield tx

    def _page(self, tx: CanvasTx, page_id: Any, method: str, path: str) -> Page:
        page = tx.get(page_id)
        if page is None:
            raise self.status_error(404, method, path, "Not Found")
        return page

    def _stamp(self, tx: CanvasTx, block: dict[str, Any], order: int) -> dict[str, Any]:
        if "block_id" in block:
            # Ids read back from a state file: new ones are numbered past them.
            held = str(block["block_id"])
            number = ascii_number(held[1:]) if held[:1] == "b" else None
            if number is not None:
                tx.note_block_number(number)
            return {**block, "order": order}
        return {"block_id": f"b{tx.next_block_number()}", **block, "order": order}

    def _touch(self, tx: CanvasTx, page: Page) -> None:
        # An edit of an approved page leaves it "changed" until the user approves it again.
        if page.approval == "approved":
            page.approval = "changed"
        page.updated_at = _iso(self.wall_clock())
        tx.update(page)

    # -- the client calls ---------------------------------------------------

    @retried
    def whoami(self) -> dict[str, Any]:
        with self._serving("whoami", "GET", "/whoami"):
            return copy.deepcopy(self.identity)

    @retried
    def list_pages(self, limit: int = 50, cursor: str | None = None) -> dict[str, Any]:
        """One page of the listing, in canvas order; "next_cursor", when
        "has_more" is true, asks for the next."""
        with self._serving("list_pages", "GET", "/pages", limit) as tx:
            shown, has_more, next_cursor = tx.listing(cursor, limit)
            rows = [{"page_id": p.page_id, "title": p.title, "updated_at": p.updated_at} for p in shown]
            reply: dict[str, Any] = {"pages": rows, "has_more": has_more}
            if next_cursor is not None:
                reply["next_cursor"] = next_cursor
            return copy.deepcopy(reply)

    @retried
    def get_page(self, page_id: str) -> dict[str, Any]:
        with self._serving("get_page", "GET", f"/pages/{page_id}", page_id) as tx:
            page = self._page(tx, page_id, "GET", f"/pages/{page_id}")
            detail: dict[str, Any] = {"page_id": page.page_id, "title": page.title,
                                      "updated_at": page.updated_at, "blocks": copy.deepcopy(page.blocks),
                                      "revision": revision_of(page)}
            if page.approval is not None:
                detail["instruction"] = {"state": page.approval}
            return detail

    @retried
    def create_page(self, title: str, blocks: list[dict[str, Any]], icon: str | None = None) -> dict[str, Any]:
        with self._serving("create_page", "POST", "/pages", title, write=True) as tx:
            page = self._insert(tx, title, copy.deepcopy(blocks), None, _iso(self.wall_clock()), "none")
            return {"page_id": page.page_id, "title": page.title, "blocks_written": len(page.blocks),
                    "url": f"{ENGINE_URL}/canvases/{self.canvas}/pages/{page.page_id}"}

    @retried
    def append_blocks(self, page_id: str, blocks: list[dict[str, Any]]) -> dict[str, Any]:
        path = f"/pages/{page_id}/blocks"
        with self._serving("append_blocks", "POST", path, page_id, write=True) as tx:
            page = self._page(tx, page_id, "POST", path)
            page.blocks += [self._stamp(tx, copy.deepcopy(b), len(page.blocks) + i) for i, b in enumerate(blocks)]
            self._touch(tx, page)
            return {"page_id": page_id, "blocks_written": len(blocks)}

    @retried
    def write_blocks(self, page_id: str, blocks: list[dict[str, Any]]) -> dict[str, Any]:
        path = f"/pages/{page_id}/blocks"
        with self._serving("write_blocks", "PUT", path, page_id, write=True) as tx:
            page = self._page(tx, page_id, "PUT", path)
            page.blocks = [self._stamp(tx, copy.deepcopy(b), i) for i, b in enumerate(blocks)]
            self._touch(tx, page)
            return {"page_id": page_id, "blocks_written": len(blocks)}

    @retried
    def update_blocks(self, page_id: str, updates: list[dict[str, Any]]) -> dict[str, Any]:
        path = f"/pages/{page_id}/blocks"
        with self._serving("update_blocks", "PATCH", path, page_id, write=True) as tx:
            page = self._page(tx, page_id, "PATCH", path)
            by_id = {b.get("block_id"): b for b in page.blocks}
            missing = [u.get("block_id") for u in updates if u.get("block_id") not in by_id]
            if missing:
                raise self.status_error(422, "PATCH", path, [
                    {"loc": ["body", "updates", i, "block_id"], "msg": f"no block {m!r} on page {page_id}"}
                    for i, m in enumerate(missing)])
            for u in updates:
                by_id[u["block_id"]].update(copy.deepcopy({k: v for k, v in u.items() if k != "block_id"}))
            self._touch(tx, page)
            return {"page_id": page_id, "updated": len(updates)}

    @retried
    def rename_page(self, page_id: str, title: str) -> dict[str, Any]:
        with self._serving("rename_page", "PATCH", f"/pages/{page_id}", page_id, write=True) as tx:
            page = self._page(tx, page_id, "PATCH", f"/pages/{page_id}")
            page.title = title
            self._touch(tx, page)
            return {"page_id": page_id, "title": title}

    @retried
    def save_doc(self, name: str, blocks: list[dict[str, Any]], kind: str | None = None) -> dict[str, Any]:
        """Save the doc `name` with the body `blocks` (the marker is written
        here): over the doc in force of that name, found inside the same
        write transaction, or as a new page when there is none. `kind`
        (default: the old doc's, else "doc") goes into the marker with the
        old doc's trigger and pin. Two saves of one new name make one page."""
        with self._serving("save_doc", "PUT", f"/docs/{name}", name, write=True) as tx:
            found = tx.find_doc(name=name)
            old = found[1] if found else None
            kind = kind or (old.kind if old else "doc")
            written = [marker_block(name, kind, old), *copy.deepcopy(blocks)]
            if found is None:
                page = self._insert(tx, name, written, None, _iso(self.wall_clock()), "none")
            else:
                page = found[0]
                page.blocks = [self._stamp(tx, b, i) for i, b in enumerate(written)]
                self._touch(tx, page)
            return {"page_id": page.page_id, "name": name, "kind": kind, "created": found is None,
                    "blocks_written": len(written)}

    @retried
    def append_learning(self, blocks: list[dict[str, Any]]) -> dict[str, Any]:
        """Append `blocks` to the learnings doc (the first doc in force of
        that kind), made in the same write transaction when there is none."""
        with self._serving("append_learning", "POST", "/learnings", None, write=True) as tx:
            found = tx.find_doc(kind=LEARNINGS)
            if found is None:
                written = [marker_block(LEARNINGS, LEARNINGS, None), *copy.deepcopy(blocks)]
                page = self._insert(tx, "Learnings", written, None, _iso(self.wall_clock()), "none")
            else:
                page = found[0]
                page.blocks += [self._stamp(tx, copy.deepcopy(b), len(page.blocks) + i) for i, b in enumerate(blocks)]
                self._touch(tx, page)
            return {"page_id": page.page_id, "created": found is None, "blocks_written": len(blocks)}

    @retried
    def delete_page(self, page_id: str) -> dict[str, Any]:
        with self._serving("delete_page", "DELETE", f"/pages/{page_id}", page_id, write=True) as tx:
            self._page(tx, page_id, "DELETE", f"/pages/{page_id}")
            tx.delete(page_id)
            return {"page_id": page_id, "deleted": True}

    def check_canvas(self, canvas: Any) -> None:
        """The engine's answer to a request naming a canvas it does not hold."""
        if canvas is not None and canvas not in (self.canvas, f"cv_{self.canvas}"):
            raise self.status_error(404, "GET", "/resolve", "canvas not found",
                                    headers={"X-Kelvo-Error": "canvas_not_found"})

    @retried
    def list_canvases(self) -> dict[str, Any]:
        with self._serving("list_canvases", "GET", "/canvases"):
            return {"canvases": [{"canvas_id": f"cv_{self.canvas}", "name": self.canvas}]}

    def refuse(self, call: str, method: str = "POST") -> None:
        """A request this engine has no route for: its 501 with a "detail" body."""
        with self._serving(call, method, f"/{call}"):
            raise self.status_error(501, method, f"/{call}",
                                    f"{call} is not served by this engine (it holds pages and docs only)")

    # -- the state file -----------------------------------------------------

    def save_state(self) -> None:
        """Write the in-memory canvas to the state file, whole or not at all."""
        if self.state_file is None or self.store is not None:
            return
        with self.lock:
            # "next_page": the number of the next page id, so that a page
            # deleted before a restart never lends its id to a new one.
            data = {"canvas": self.canvas, "identity": self.identity, "next_page": self._next_id,
                    "pages": [{"page_id": p.page_id, "title": p.title, "updated_at": p.updated_at,
                               "approval": p.approval, "blocks": p.blocks} for p in self._pages]}
            write_state(self.state_file, data)


def _iso(seconds: float) -> str:
    return datetime.datetime.fromtimestamp(seconds, datetime.UTC).strftime("%Y-%m-%dT%H:%M:%SZ")


