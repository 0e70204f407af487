"""The embedded engine's durable store: one SQLite file that several engine
instances, in one process or in several, share.

    store = Store.open("canvas.db")        # created when missing; StoreError when it is not ours

What it promises:

- WAL journal, so readers never wait for the writer and see every commit that
  finished before their transaction began; nothing of the canvas is cached
  between transactions, so an engine reads what other processes wrote.
- One transaction per engine call. A write takes the write lock first
  (BEGIN IMMEDIATE) and the engine acknowledges it only after COMMIT returned;
  `synchronous=FULL` makes that commit survive the machine going down, not
  only the process.
- A busy time-out: a writer waits for another's commit instead of failing;
  past the time-out the engine answers 503.
- Versioned from its first release: the SQLite header's application id and
  user_version, and a `meta` table with the app name. A file that is not a
  store of ours, or one written by a newer schema, is refused with one
  `StoreError` line and left untouched; an older one is upgraded, after a
  copy of it is kept (`kelvo_mcp.engine.schema`).
- A store generation, raised inside every write transaction (so in the same
  commit as every write and every approval): one query tells a reader
  whether anything changed since it last looked.
- The user's approvals: at most one approved page per doc name, the one in
  force; each act kept in the approval log with the revision it named.
- Doc look-ups by the index: each page row carries the name and kind of the
  doc it is (null for other pages), worked out by the core's rule whenever
  the row is written, so a save finds the doc in force with one indexed
  query inside its own transaction.

Connections: a small pool, one connection per transaction in flight. The
engine's HTTP server and the MCP server run engine calls on worker
threads; a single connection behind a lock would make every
reader wait for every other, which WAL exists to avoid, while thread-local
connections would be opened per short-lived thread and left to the garbage
collector. A connection is used by one thread at a time and goes back to the
pool after its transaction.
"""

from __future__ import annotations

import json
import sqlite3
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

from kelvo_mcp import refresh
from kelvo_mcp.engine.api import Page, ascii_number
from kelvo_mcp.engine.docs import doc_of
from kelvo_mcp.engine.schema import NORMALISE_APPROVALS, SCHEMA_VERSION, StoreError, check_or_create, doc_columns
from kelvo_mcp.engine.stores import StoreUnavailable

__all__ = ["BUSY_TIMEOUT", "SCHEMA_VERSION", "Store", "StoreError", "Tx"]

BUSY_TIMEOUT = 10.0  # seconds a writer waits for another's commit
_POOL_IDLE_MAX = 8


class Store:
    """An open store file. Thread-safe; `close()` when done."""

    def __init__(self, path: Path, busy_timeout: float) -> None:
        self.path = path
        self.busy_timeout = busy_timeout
        self._idle: list[sqlite3.Connection] = []
        self._pool_lock = threading.Lock()
        self._closed = False
        self.upgraded_from: int | None = None  # the schema the file had, when opening upgraded it

    # -- opening --------------------------------------------------------------

    @classmethod
    def open(cls, path: str | Path, *, busy_timeout: float = BUSY_TIMEOUT) -> Store:
        """The store in `path`, created (with its schema) when the file is
        missing or empty; `StoreError` when it is a file of another kind."""
        store = cls(Path(path), busy_timeout)
        conn = store._connect(configure=False)
        try:
            store.upgraded_from = check_or_create(conn, store.path)
            store._configure(conn)
        except BaseException:
            conn.close()
            raise
        store._release(conn)
        return store

    def _connect(self, configure: bool = True) -> sqlite3.Connection:
        try:
            conn = sqlite3.connect(self.path, timeout=self.busy_timeout, isolation_level=None,
                                   check_same_thread=False)
        except sqlite3.Error as e:
            raise StoreError(f"cannot open store {self.path}: {e}") from None
        if configure:
            self._configure(conn)
        return conn

    def _configure(self, conn: sqlite3.Connection) -> None:
        conn.execute("PRAGMA synchronous=FULL")

    # -- connections and transactions ------------------------------------------

    def _acquire(self) -> sqlite3.Connection:
        with self._pool_lock:
            if self._closed:
                raise StoreError(f"store {self.path} is closed")
            if self._idle:
                return self._idle.pop()
        return self._connect()

    def _release(self, conn: sqlite3.Connection) -> None:
        with self._pool_lock:
            if not self._closed and len(self._idle) < _POOL_IDLE_MAX:
                self._idle.append(conn)
                return
        conn.close()

    @contextmanager
    def transaction(self, write: bool = False) -> Iterator[Tx]:
        """One transaction: committed when the block ends, rolled back when it
        raises. A write transaction holds the store's write lock throughout."""
        conn = self._acquire()
        broken = False
        try:
            conn.execute("BEGIN IMMEDIATE" if write else "BEGIN")
            tx = Tx(conn, write)
            try:
                yield tx
                tx._flush()
            except BaseException:
                try:
                    conn.execute("ROLLBACK")
                except sqlite3.Error:
                    broken = True
                raise
            conn.execute("COMMIT")
        except sqlite3.Error as e:
            broken = broken or conn.in_transaction
            if isinstance(e, sqlite3.OperationalError) and ("locked" in str(e) or "busy" in str(e)):
                raise StoreUnavailable("the engine's store is busy; try again shortly") from None
            raise
        finally:
            if broken:
                conn.close()
            else:
                self._release(conn)

    def close(self) -> None:
        with self._pool_lock:
            self._closed = True
            idle, self._idle = self._idle, []
        for conn in idle:
            conn.close()

    def __enter__(self) -> Store:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # -- the canvas as a whole -------------------------------------------------

    @property
    def seeded_from(self) -> str | None:
        """Where the canvas came from ("canvas file …", "state file …"), or
        None while the store has not been filled."""
        with self.transaction() as tx:
            source = tx.meta("seeded_from")
        return None if source is None else str(source)

    def seed(self, canvas: str, identity: dict[str, Any], pages: list[Page], *, source: str,
             next_page: int = 1, blocks_made: int = 0) -> bool:
        """Fill an empty store, all in one transaction; False (and nothing
        written) when it was filled already, by this process or another."""
        with self.transaction(write=True) as tx:
            if tx.meta("seeded_from") is not None:
                return False
            tx.set_meta("canvas", canvas)
            tx.set_meta("identity", identity)
            for page in pages:
                tx.insert(page)
            for page in pages:
                tx.note_page_id(page.page_id)
            tx.normalise_approvals()
            # The source's own count too: a page deleted before the import
            # never lends its id to a new one (an agent may still hold it).
            tx.set_meta("next_page", max(next_page, int(tx.meta("next_page") or 1)))
            tx.note_block_number(blocks_made)
            tx.set_meta("seeded_from", source)
            return True

    def seed_from(self, engine: Any, source: str) -> bool:
        """Fill an empty store with the pages of an in-memory engine."""
        return self.seed(engine.canvas, engine.identity, list(engine.pages), source=source,
                         next_page=engine._next_id, blocks_made=engine._blocks_made)

    def generation(self) -> int:
        """The store generation: raised by every write transaction."""
        with self.transaction() as tx:
            return tx.store_generation()

    def integrity_check(self) -> str:
        """SQLite's own check of the file: "ok", or what is wrong."""
        with self.transaction() as tx:
            rows = tx.conn.execute("PRAGMA integrity_check").fetchall()
        return "; ".join(str(r[0]) for r in rows)


class Tx:
    """The store inside one transaction, in the engine's terms."""

    def __init__(self, conn: sqlite3.Connection, write: bool = False) -> None:
        self.conn = conn
        self.write = write
        self._blocks_made: int | None = None
        self._blocks_dirty = False

    def meta(self, key: str) -> Any:
        row = self.conn.execute("SELECT value FROM meta WHERE key = ?", (key,)).fetchone()
        return None if row is None else json.loads(row[0])

    def set_meta(self, key: str, value: Any) -> None:
        self.conn.execute("INSERT INTO meta (key, value) VALUES (?, ?) "
                          "ON CONFLICT (key) DO UPDATE SET value = excluded.value", (key, json.dumps(value)))

    # pages

    _COLUMNS = "seq, page_id, title, updated_at, approval, blocks"

    @staticmethod
    def _page(row: tuple[Any, ...]) -> Page:
        _, page_id, title, updated_at, approval, blocks = row
        return Page(page_id, title, json.loads(blocks), None if updated_at is None else json.loads(updated_at),
                    approval)

    def get(self, page_id: Any) -> Page | None:
        if not isinstance(page_id, str):
            return None
        row = self.conn.execute(f"SELECT {self._COLUMNS} FROM pages WHERE page_id = ?", (page_id,)).fetchone()
        return None if row is None else self._page(row)

    def listing(self, cursor: str | None, limit: int) -> tuple[list[Page], bool, str | None]:
        """Pages in canvas order after `cursor`: (pages, has_more, next_cursor).
        The cursor is the position of the last page shown, so pages deleted or
        added meanwhile never shift the pages still to come."""
        after = ascii_number(cursor) or 0
        limit = max(int(limit), 0)
        rows = self.conn.execute(f"SELECT {self._COLUMNS} FROM pages WHERE seq > ? ORDER BY seq LIMIT ?",
                                 (after, limit + 1)).fetchall()
        shown, has_more = rows[:limit], len(rows) > limit
        next_cursor = str(shown[-1][0] if shown else after) if has_more else None
        return [self._page(r) for r in shown], has_more, next_cursor

    def all(self) -> list[Page]:
        return [self._page(r) for r in self.conn.execute(f"SELECT {self._COLUMNS} FROM pages ORDER BY seq")]

    def count(self) -> int:
        return int(self.conn.execute("SELECT count(*) FROM pages").fetchone()[0])

    def insert(self, page: Page) -> None:
        self.conn.execute("INSERT INTO pages (page_id, title, updated_at, approval, blocks, doc_name, doc_kind)"
                          " VALUES (?, ?, ?, ?, ?, ?, ?)", (page.page_id, page.title, _json(page.updated_at),
                                                            page.approval, _json(page.blocks), *doc_columns(page)))

    def update(self, page: Page) -> None:
        self.conn.execute("UPDATE pages SET title = ?, updated_at = ?, approval = ?, blocks = ?, doc_name = ?,"
                          " doc_kind = ? WHERE page_id = ?", (page.title, _json(page.updated_at), page.approval,
                                                              _json(page.blocks), *doc_columns(page), page.page_id))

    def find_doc(self, *, name: str | None = None, kind: str | None = None) -> tuple[Page, refresh.DocInfo] | None:
        """`docs.first_doc` over the canvas, by the index."""
        if name is not None:
            row = self.conn.execute(f"SELECT {self._COLUMNS} FROM pages WHERE doc_name = ? ORDER BY seq LIMIT 1",
                                    (name,)).fetchone()
        else:
            row = self.conn.execute(
                f"SELECT {self._COLUMNS} FROM pages AS p WHERE doc_kind = ? AND NOT EXISTS (SELECT 1 FROM pages"
                " AS q WHERE q.doc_name = p.doc_name AND q.seq < p.seq) ORDER BY seq LIMIT 1", (kind,)).fetchone()
        if row is None:
            return None
        page = self._page(row)
        d = doc_of(page)
        return None if d is None else (page, d)

    def delete(self, page_id: str) -> None:
        self.conn.execute("DELETE FROM pages WHERE page_id = ?", (page_id,))

    # approvals

    def pages_named(self, name: str) -> list[Page]:
        """Every page of the doc `name`, in canvas order (the first is in force)."""
        return [self._page(r) for r in self.conn.execute(
            f"SELECT {self._COLUMNS} FROM pages WHERE doc_name = ? ORDER BY seq", (name,))]

    def set_approval(self, page_id: str, state: str) -> None:
        """The user's act on one page: its approval state, nothing else of it changed."""
        self.conn.execute("UPDATE pages SET approval = ? WHERE page_id = ?", (state, page_id))

    def clear_approvals(self, name: str, keep: str | None = None) -> None:
        """Every page of the doc `name` but `keep` set to "none"."""
        self.conn.execute("UPDATE pages SET approval = 'none' WHERE doc_name = ? AND page_id IS DISTINCT FROM ?", (name, keep))

    def normalise_approvals(self) -> None:
        """At most one approved page per doc name: the one in force."""
        self.conn.execute(NORMALISE_APPROVALS)

    def log_approval(self, name: str, page_id: str, revision: str | None, act: str, at: str,
                     body: str | None) -> None:
        """One act of the user in the approval log: "approved" (with the
        revision and the body approved) or "revoked"."""
        self.conn.execute("INSERT INTO approvals (name, page_id, revision, act, at, body) VALUES (?, ?, ?, ?, ?, ?)",
                          (name, page_id, revision, act, at, body))

    def approval_log(self, name: str) -> list[dict[str, Any]]:
        """The acts on the doc `name`, oldest first."""
        rows = self.conn.execute("SELECT name, page_id, revision, act, at, body FROM approvals WHERE name = ?"
                                 " ORDER BY seq", (name,)).fetchall()
        return [dict(zip(("name", "page_id", "revision", "act", "at", "body"), r, strict=True)) for r in rows]

    # the store generation

    def store_generation(self) -> int:
        row = self.conn.execute("SELECT value FROM meta WHERE key = 'store_generation'").fetchone()
        return 0 if row is None else int(row[0])

    def bump_generation(self) -> None:
        self.conn.execute("UPDATE meta SET value = CAST(value AS INTEGER) + 1 WHERE key = 'store_generation'")

    # ids

    def next_page_id(self) -> str:
        n = int(self.meta("next_page") or 1)
        while self.conn.execute("SELECT 1 FROM pages WHERE page_id = ?", (f"pg_{n:04d}",)).fetchone():
            n += 1
        self.set_meta("next_page", n + 1)
        return f"pg_{n:04d}"

    def note_page_id(self, page_id: str) -> None:
        """A page id given from elsewhere: new ones are numbered past it."""
        n = _page_number(page_id)
        if n is not None and n >= int(self.meta("next_page") or 1):
            self.set_meta("next_page", n + 1)

    def next_block_number(self) -> int:
        self._load_blocks()
        assert self._blocks_made is not None
        self._blocks_made += 1
        self._blocks_dirty = True
        return self._blocks_made

    def note_block_number(self, n: int) -> None:
        """A block id read back from elsewhere: new ones are numbered past it."""
        self._load_blocks()
        assert self._blocks_made is not None
        if n > self._blocks_made:
            self._blocks_made, self._blocks_dirty = n, True

    def _load_blocks(self) -> None:
        if self._blocks_made is None:
            self._blocks_made = int(self.meta("blocks_made") or 0)

    def _flush(self) -> None:
        if self._blocks_dirty:
            self.set_meta("blocks_made", self._blocks_made)
            self._blocks_dirty = False
        if self.write:
            self.bump_generation()  # in the commit of the write itself
            self.write = False


def _page_number(page_id: str) -> int | None:
    return ascii_number(page_id[3:]) if page_id[:3] == "pg_" else None


def _json(value: Any) -> str | None:
    return None if value is None else json.dumps(value)
