"""The store's file format: how a file is told to be a store of ours, the
schema steps, and the upgrade of an older store.

Step N brings a store at schema N-1 to N; a new store runs them all, so a
new store and an upgraded one are alike. A released step is never changed: a
change of schema is a new step. An older store is upgraded when it is
opened, after a copy of it is kept beside it (`<file>.schema<N>.bak`), in one
write transaction: a failed upgrade leaves the file as it was, and two
processes opening it at once upgrade it once. A newer one is refused.
"""

from __future__ import annotations

import json
import logging
import sqlite3
from pathlib import Path

from kelvo_mcp.engine.api import CanvasError, Page
from kelvo_mcp.engine.docs import doc_of

APP_NAME = "kelvo-mcp-engine-store"
APPLICATION_ID = 0x4B6C766F  # "Klvo" in the SQLite header
SCHEMA_VERSION = 3

log = logging.getLogger("kelvo_mcp.engine")


def _schema_1(conn: sqlite3.Connection) -> None:
    conn.execute("CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)")
    # seq keeps the canvas order (creation order) and is the listing cursor;
    # updated_at and blocks hold JSON text.
    conn.execute("CREATE TABLE pages (seq INTEGER PRIMARY KEY AUTOINCREMENT, page_id TEXT NOT NULL UNIQUE,"
                 " title TEXT NOT NULL, updated_at TEXT, approval TEXT, blocks TEXT NOT NULL)")
    conn.executemany("INSERT INTO meta (key, value) VALUES (?, ?)",
                     [("app", json.dumps(APP_NAME)), ("next_page", "1"), ("blocks_made", "0")])


def _schema_2(conn: sqlite3.Connection) -> None:
    """The doc each page is, indexed, for saves that find their doc inside
    their transaction (no unique index: a canvas may hold two docs of one name)."""
    conn.execute("ALTER TABLE pages ADD COLUMN doc_name TEXT")
    conn.execute("ALTER TABLE pages ADD COLUMN doc_kind TEXT")
    rows = conn.execute("SELECT seq, page_id, title, blocks FROM pages").fetchall()
    conn.executemany("UPDATE pages SET doc_name = ?, doc_kind = ? WHERE seq = ?",
                     [(*doc_columns(Page(page_id, title, json.loads(blocks))), seq)
                      for seq, page_id, title, blocks in rows])
    conn.execute("CREATE INDEX pages_by_doc_name ON pages (doc_name, seq) WHERE doc_name IS NOT NULL")
    conn.execute("CREATE INDEX pages_by_doc_kind ON pages (doc_kind, seq) WHERE doc_kind IS NOT NULL")


# Of the pages of one doc name, only the one in force (the first in canvas
# order) may stay approved: otherwise deleting it would put an older approved
# copy in force without the user. Plain SQL, run by the schema step and by
# every seeding.
NORMALISE_APPROVALS = ("UPDATE pages SET approval = 'none' WHERE approval = 'approved' AND doc_name IS NOT NULL"
                       " AND EXISTS (SELECT 1 FROM pages AS q WHERE q.doc_name = pages.doc_name AND q.seq < pages.seq)")


def _schema_3(conn: sqlite3.Connection) -> None:
    """The approval log (the user's acts: which revision of which page of a
    name was approved or revoked, and when), the store generation (raised by
    every write transaction, so a reader can tell the store changed with one
    query), and at most one approved page per doc name."""
    conn.execute("CREATE TABLE approvals (seq INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT NOT NULL,"
                 " page_id TEXT NOT NULL, revision TEXT, act TEXT NOT NULL, at TEXT NOT NULL, body TEXT)")
    conn.execute("CREATE INDEX approvals_by_name ON approvals (name, seq)")
    conn.execute("INSERT INTO meta (key, value) VALUES ('store_generation', '0') ON CONFLICT (key) DO NOTHING")
    conn.execute(NORMALISE_APPROVALS)


STEPS = {1: _schema_1, 2: _schema_2, 3: _schema_3}


class StoreError(CanvasError):
    """The store file cannot be used; the message says why, in one line."""


def doc_columns(page: Page) -> tuple[str | None, str | None]:
    """The doc_name and doc_kind columns of a page row: the doc it is, by the core's rule."""
    d = doc_of(page)
    return (None, None) if d is None else (d.name, d.kind)


def check_or_create(conn: sqlite3.Connection, path: Path) -> int | None:
    """The file at `path` made a store of ours when it is empty, upgraded
    when it is older; the schema it had when upgraded, else None.
    `StoreError` when it is not ours or newer."""
    where = f"store {path}"
    try:
        app, version, tables = header(conn)
    except sqlite3.OperationalError as e:
        raise StoreError(f"cannot open {where}: {e}") from None
    except sqlite3.DatabaseError:
        raise StoreError(f"{path} is not a Kelvo engine store (not an SQLite database)") from None
    if app == 0 and version == 0 and tables == 0:
        create(conn)
        app, version, tables = header(conn)
    if app != APPLICATION_ID:
        raise StoreError(f"{path} is an SQLite database of another application, not a Kelvo engine "
                         f"store (application id {app:#x}, {tables} tables)")
    if version > SCHEMA_VERSION:
        raise StoreError(f"{where} was written by a newer kelvo-mcp (schema {version}; "
                         f"this one reads schema {SCHEMA_VERSION} and older)")
    row = conn.execute("SELECT value FROM meta WHERE key = 'app'").fetchone() if tables else None
    if row is None or json.loads(row[0]) != APP_NAME:
        raise StoreError(f"{path} carries the Kelvo application id but no store metadata; "
                         "it is not a Kelvo engine store")
    mode = conn.execute("PRAGMA journal_mode=WAL").fetchone()[0]
    if str(mode).lower() != "wal":
        raise StoreError(f"{where}: cannot use the WAL journal here (journal mode stays {mode})")
    return upgrade(conn, path) if version < SCHEMA_VERSION else None


def upgrade(conn: sqlite3.Connection, path: Path) -> int | None:
    """The steps from the store's schema on, in one write transaction,
    after a copy of the file as it was (taken while that transaction holds
    the write lock, so it holds every commit made before the upgrade)."""
    conn.execute("BEGIN IMMEDIATE")
    version = SCHEMA_VERSION
    try:
        version = header(conn)[1]  # another process may have upgraded it meanwhile
        if version < SCHEMA_VERSION:
            backup = path.with_name(f"{path.name}.schema{version}.bak")
            # Copied through a reader of its own: a connection cannot copy
            # while it holds the write lock (its backup waits for itself), and
            # a reader beside the lock sees every commit made before it.
            reader, kept = sqlite3.connect(path), sqlite3.connect(backup)
            try:
                reader.backup(kept)
            finally:
                reader.close()
                kept.close()
            for step in range(version + 1, SCHEMA_VERSION + 1):
                STEPS[step](conn)
            conn.execute(f"PRAGMA user_version={SCHEMA_VERSION}")
        conn.execute("COMMIT")
    except BaseException as e:
        conn.execute("ROLLBACK")
        if isinstance(e, sqlite3.Error):
            raise StoreError(f"cannot upgrade store {path} from schema {version}: {e}") from None
        raise
    if version >= SCHEMA_VERSION:
        return None
    log.warning("store %s upgraded from schema %d to %d; the file as it was is kept in %s",
                path, version, SCHEMA_VERSION, backup)
    return version


def header(conn: sqlite3.Connection) -> tuple[int, int, int]:
    app = conn.execute("PRAGMA application_id").fetchone()[0]
    version = conn.execute("PRAGMA user_version").fetchone()[0]
    tables = conn.execute("SELECT count(*) FROM sqlite_schema").fetchone()[0]
    return int(app), int(version), int(tables)


def create(conn: sqlite3.Connection) -> None:
    # WAL first: it cannot be switched on inside a transaction. Two
    # processes creating the same new file meet at BEGIN IMMEDIATE; the
    # second finds the schema there and leaves it.
    conn.execute("PRAGMA journal_mode=WAL")
    conn.execute("BEGIN IMMEDIATE")
    try:
        if header(conn) == (0, 0, 0):
            for step in range(1, SCHEMA_VERSION + 1):
                STEPS[step](conn)
            conn.execute(f"PRAGMA application_id={APPLICATION_ID}")
            conn.execute(f"PRAGMA user_version={SCHEMA_VERSION}")
        conn.execute("COMMIT")
    except BaseException:
        conn.execute("ROLLBACK")
        raise
