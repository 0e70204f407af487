"""The store's schema on PostgreSQL: the same tables, the same steps and the
same schema numbers as the SQLite file's (`kelvo_mcp.engine.schema`), so
that "schema N" means one thing on both backends.

What SQLite keeps in its header (the application id and `user_version`) is
kept here in the `meta` table, beside the app name: `application_id` and
`schema_version`. Opening a database takes the canvas-wide write lock and,
in that one transaction, creates the schema (an empty database), checks it,
or runs every step of an upgrade: PostgreSQL's DDL is transactional, so an
upgrade happens whole or not at all, and two processes opening one database
at once create or upgrade it once. A database whose tables are not ours, or
one written by a newer schema, is refused in one line and left untouched.

Blocks, `updated_at` and meta values are JSON *text*, never `jsonb` (which
reorders keys): a page reads back exactly as it was written, on either
backend.
"""

from __future__ import annotations

import json
import logging
from collections.abc import Callable
from typing import Any

import psycopg

from kelvo_mcp.engine import schema
from kelvo_mcp.engine.schema import APP_NAME, APPLICATION_ID, SCHEMA_VERSION, StoreError

log = logging.getLogger("kelvo_mcp.engine")

# The key of the canvas-wide lock (pg_advisory_xact_lock): every write
# transaction takes it first, as SQLite's BEGIN IMMEDIATE takes the file's.
# Advisory locks are per database: canvases in two databases never wait for
# each other.
WRITE_LOCK = APPLICATION_ID


def _schema_1(conn: Any) -> None:
    conn.execute("CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)")
    # seq keeps the canvas order (creation order: writers take turns, so the
    # identity grows in commit order) and is the listing cursor.
    conn.execute("CREATE TABLE pages (seq BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
                 " page_id TEXT NOT NULL UNIQUE, title TEXT NOT NULL, updated_at TEXT, approval TEXT,"
                 " blocks TEXT NOT NULL)")
    conn.executemany("INSERT INTO meta (key, value) VALUES (?, ?)",
                     [("app", json.dumps(APP_NAME)), ("next_page", "1"), ("blocks_made", "0")])


def _schema_3(conn: Any) -> None:
    """The approval log, the store generation, at most one approved page per
    doc name (`schema._schema_3`, with PostgreSQL's identity column)."""
    conn.execute("CREATE TABLE approvals (seq BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY, name TEXT NOT NULL,"
                 " page_id TEXT NOT NULL, revision TEXT, act TEXT NOT NULL, at TEXT NOT NULL, body TEXT)")
    conn.execute("CREATE INDEX approvals_by_name ON approvals (name, seq)")
    conn.execute("INSERT INTO meta (key, value) VALUES ('store_generation', '0') ON CONFLICT (key) DO NOTHING")
    conn.execute(schema.NORMALISE_APPROVALS)


# Step 2 (the doc index) is written in SQL both databases take.
STEPS: dict[int, Callable[[Any], None]] = {1: _schema_1, 2: schema.STEPS[2], 3: _schema_3}


def check_or_create(conn: Any, where: str) -> int | None:
    """The database made a store of ours when it holds none, upgraded when
    it is older; the schema it had when upgraded, else None. `conn` is a
    connection in autocommit mode taking `?` placeholders. `StoreError`
    when the database is not ours or newer."""
    conn.execute("BEGIN ISOLATION LEVEL READ COMMITTED")
    try:
        conn.execute("SELECT pg_advisory_xact_lock(?)", (WRITE_LOCK,))
        version = _check(conn, where)
        if version is None:
            for step in range(1, SCHEMA_VERSION + 1):
                STEPS[step](conn)
            _set_header(conn)
        elif version < SCHEMA_VERSION:
            for step in range(version + 1, SCHEMA_VERSION + 1):
                STEPS[step](conn)
            _set_header(conn)
        conn.execute("COMMIT")
    except BaseException:
        conn.execute("ROLLBACK")
        raise
    if version is not None and version < SCHEMA_VERSION:
        log.warning("%s upgraded from schema %d to %d", where, version, SCHEMA_VERSION)
        return version
    return None


def _check(conn: Any, where: str) -> int | None:
    """The schema of a store of ours, None for a database without one."""
    meta, pages = conn.execute("SELECT to_regclass('meta') IS NOT NULL, to_regclass('pages') IS NOT NULL").fetchone()
    if not meta:
        if pages:
            raise StoreError(f"{where} holds a table 'pages' of another application, not a Kelvo engine store")
        return None
    try:
        rows = dict(conn.execute("SELECT key, value FROM meta WHERE key IN ('app', 'application_id',"
                                 " 'schema_version')").fetchall())
        app, app_id = json.loads(rows["app"]), json.loads(rows["application_id"])
        version = json.loads(rows["schema_version"])
    except (psycopg.Error, KeyError, TypeError, ValueError):
        raise StoreError(f"{where} holds a table 'meta' of another application, not a Kelvo engine store") \
            from None
    if app != APP_NAME or app_id != APPLICATION_ID or not isinstance(version, int):
        raise StoreError(f"{where} holds a table 'meta' of another application, not a Kelvo engine store")
    if version > SCHEMA_VERSION:
        raise StoreError(f"{where} was written by a newer kelvo-mcp (schema {version}; "
                         f"this one reads schema {SCHEMA_VERSION} and older)")
    return version


def _set_header(conn: Any) -> None:
    conn.executemany("INSERT INTO meta (key, value) VALUES (?, ?)"
                     " ON CONFLICT (key) DO UPDATE SET value = excluded.value",
                     [("application_id", json.dumps(APPLICATION_ID)), ("schema_version", json.dumps(SCHEMA_VERSION))])
