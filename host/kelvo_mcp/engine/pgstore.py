"""The embedded engine's store on a PostgreSQL server, which every engine
process on every machine that reaches it shares.

    store = PgStore.open("postgresql://kelvo@db.internal:5432/kelvo")

What it promises, as the SQLite store does (`kelvo_mcp.engine.store`):

- One transaction per engine call, over the same statements as SQLite's
  (`store.Tx`, its `?` placeholders given to psycopg as `%s`), so both
  backends keep the canvas by one code. A write runs at READ COMMITTED and
  first takes the canvas-wide lock (`pg_advisory_xact_lock`), the semantics
  of SQLite's BEGIN IMMEDIATE: writers take turns and every statement after
  the lock sees every earlier commit, so page ids, block numbers, the canvas
  order and one doc per name hold without a unique index. A read is one
  snapshot (REPEATABLE READ, READ ONLY), as a WAL reader's is. A write is
  acknowledged only after COMMIT returned; the server's own durability
  settings (`synchronous_commit`, replication) say what a commit survives.
- Text as it was given: PostgreSQL's text cannot hold NUL, so every string
  goes in with NUL (and the escape character, U+0001) escaped and comes out
  as it went in. The database must be UTF-8.
- A bounded pool (`POOL_MAX` connections, psycopg_pool). A caller waits at
  most `POOL_TIMEOUT` seconds for a connection; a writer waits at most the
  busy time-out for the lock. Either failure is `StoreUnavailable`, which the
  engine answers with its 503.
- A server that goes away is noticed by the first transaction whose
  connection broke: the pool's other idle connections are dropped with it,
  and while the server stays away one caller at a time waits for a
  connection while the others fail at once, so no call waits behind a queue
  of waiting calls. The pool reconnects in the background, its back-off cut
  short after `RECONNECT_SECONDS` and begun again by the next caller, so a
  returning server is in use again within seconds, with no restart.
- Serialization failures and deadlocks are `StoreConflict`: nothing was
  committed, and the engine runs the call again.

Credentials come from the URL, the PG* environment variables or the password
file (PGPASSFILE), as libpq reads them; no line of ours shows a password.
"""

from __future__ import annotations

import functools
import os
import re
import threading
import urllib.parse
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from time import monotonic
from typing import Any, Self

import psycopg
import psycopg.errors
from psycopg.types.string import StrDumperUnknown
from psycopg_pool import ConnectionPool, PoolClosed, PoolTimeout

from kelvo_mcp.engine import pgschema
from kelvo_mcp.engine.schema import StoreError
from kelvo_mcp.engine.store import BUSY_TIMEOUT, Store, Tx
from kelvo_mcp.engine.stores import StoreConflict, StoreUnavailable, shown

__all__ = ["POOL_MAX", "POOL_TIMEOUT", "PgStore"]

POOL_MAX = 16  # connections per process: the server's engine threads, by default
POOL_TIMEOUT = 2.0  # seconds a transaction waits for a connection
RECONNECT_SECONDS = 2.0  # the pool's reconnect back-off starts over after this
# Set for a connection unless the URL or the environment says otherwise.
CONNECT_DEFAULTS = {"connect_timeout": ("PGCONNECT_TIMEOUT", "3"), "application_name": ("PGAPPNAME", "kelvo-mcp"),
                    "keepalives_idle": (None, "10"), "keepalives_interval": (None, "3"),
                    "keepalives_count": (None, "3"), "tcp_user_timeout": (None, "10000")}

UNREACHABLE = "the engine's store cannot be reached; nothing was written"
BUSY = "the engine's store is busy; try again shortly"
BEGIN_READ = "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY"


class PgStore:
    """An open store database. Thread-safe; `close()` when done."""

    # The canvas as a whole is read and filled by the same code on both backends.
    seeded_from = Store.seeded_from
    seed = Store.seed
    seed_from = Store.seed_from
    generation = Store.generation

    def __init__(self, url: str, pool: ConnectionPool[Any], busy_timeout: float) -> None:
        self.url = shown(url)  # never the password
        self._pool = pool
        self._begin_write = (f"BEGIN ISOLATION LEVEL READ COMMITTED; "
                             f"SET LOCAL lock_timeout = '{max(int(busy_timeout * 1000), 1)}ms'; "
                             f"SELECT pg_advisory_xact_lock({pgschema.WRITE_LOCK})")
        self._lock = threading.Lock()
        self._down = False  # a connection broke and no transaction has begun since
        self._probing = False  # a caller is waiting for the server meanwhile
        self._closed = False
        self.upgraded_from: int | None = None

    # -- opening --------------------------------------------------------------

    @classmethod
    def open(cls, url: str, *, busy_timeout: float = BUSY_TIMEOUT) -> PgStore:
        """The store in the database at `url`, its schema created when the
        database holds none; `StoreError` in one line when it cannot be
        reached or is not a store of ours."""
        where = f"store {shown(url)}"
        options = _connect_options(url)
        try:
            conn = psycopg.connect(url, autocommit=True, **options)
        except psycopg.Error as e:
            raise StoreError(f"cannot open {where}: {_one_line(e, url)}") from None
        try:
            _adapt(conn)
            encoding = conn.execute("SHOW server_encoding").fetchone()
            if encoding is None or encoding[0] != "UTF8":
                raise StoreError(f"{where} is not UTF-8 encoded ({encoding and encoding[0]}); "
                                 "create the database with ENCODING 'UTF8'")
            upgraded = pgschema.check_or_create(_Qmark(conn), where)
        except psycopg.Error as e:
            raise StoreError(f"cannot open {where}: {_one_line(e, url)}") from None
        finally:
            conn.close()
        pool: ConnectionPool[Any] = ConnectionPool(
            url, kwargs={"autocommit": True, **options}, configure=_adapt, min_size=1, max_size=POOL_MAX,
            timeout=POOL_TIMEOUT, reconnect_timeout=RECONNECT_SECONDS, name="kelvo-store", open=False)
        pool.open(wait=False)
        store = cls(url, pool, busy_timeout)
        store.upgraded_from = upgraded
        return store

    # -- transactions -----------------------------------------------------------

    @contextmanager
    def transaction(self, write: bool = False) -> Iterator[Tx]:
        """One transaction: committed when the block ends, rolled back when it
        raises. A write transaction holds the canvas-wide lock throughout."""
        conn = self._begin(write)
        try:
            try:
                tx = Tx(_Qmark(conn), write)  # type: ignore[arg-type]
                yield tx
                tx._flush()
            except BaseException:
                _rollback(conn)
                raise
            try:
                conn.execute("COMMIT")
            except psycopg.OperationalError as e:
                if conn.broken:
                    self._down = True
                    raise StoreUnavailable("the connection to the engine's store broke while committing: "
                                           "the write may or may not have been kept") from None
                raise self._failure(e) from None
        except psycopg.Error as e:
            if conn.broken:
                self._down = True
            raise self._failure(e) from None
        finally:
            self._pool.putconn(conn)

    def _begin(self, write: bool) -> psycopg.Connection[Any]:
        deadline = monotonic() + POOL_TIMEOUT
        probing = False
        try:
            while True:
                with self._lock:
                    if self._closed:
                        raise StoreError(f"store {self.url} is closed")
                    if self._down and not probing:
                        if self._probing:
                            raise StoreUnavailable(UNREACHABLE)
                        self._probing = probing = True
                try:
                    conn = self._pool.getconn(timeout=max(deadline - monotonic(), 0.01))
                except PoolClosed:
                    raise StoreError(f"store {self.url} is closed") from None
                except PoolTimeout:
                    raise StoreUnavailable(UNREACHABLE if self._down else BUSY) from None
                try:
                    conn.execute(self._begin_write if write else BEGIN_READ)
                except psycopg.Error as e:
                    _rollback(conn)  # a lock that timed out leaves the transaction open
                    self._pool.putconn(conn)
                    if not conn.broken:
                        raise self._failure(e) from None
                    # The server went away (or came back): the connections
                    # beside this one went with it, so drop them all now.
                    self._down = True
                    self._pool.check()
                    continue
                self._down = False
                return conn
        finally:
            if probing:
                with self._lock:
                    self._probing = False

    @staticmethod
    def _failure(e: psycopg.Error) -> Exception:
        if isinstance(e, (psycopg.errors.SerializationFailure, psycopg.errors.DeadlockDetected)):
            return StoreConflict(f"the engine's store gave the transaction up ({e.sqlstate}); nothing was written")
        if isinstance(e, psycopg.errors.LockNotAvailable):
            return StoreUnavailable(BUSY)
        if isinstance(e, psycopg.OperationalError):
            return StoreUnavailable(UNREACHABLE)
        return e

    def close(self) -> None:
        with self._lock:
            self._closed = True
        self._pool.close(timeout=5)

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _rollback(conn: psycopg.Connection[Any]) -> None:
    if not conn.broken and conn.info.transaction_status != psycopg.pq.TransactionStatus.IDLE:
        try:
            conn.execute("ROLLBACK")
        except psycopg.Error:
            pass  # the pool drops a connection it cannot reset


class _Qmark:
    """A psycopg connection taking the store's statements as SQLite does,
    with `?` placeholders."""

    __slots__ = ("_conn",)

    def __init__(self, conn: psycopg.Connection[Any]) -> None:
        self._conn = conn

    def execute(self, sql: str, params: Any = None) -> psycopg.Cursor[Any]:
        if params is None:
            return self._conn.execute(sql)
        return self._conn.execute(_pyformat(sql), params)

    def executemany(self, sql: str, rows: Any) -> None:
        with self._conn.cursor() as cur:
            cur.executemany(_pyformat(sql), rows)


@functools.lru_cache(maxsize=256)
def _pyformat(sql: str) -> str:
    return sql.replace("%", "%%").replace("?", "%s")


# -- text that PostgreSQL cannot hold ---------------------------------------------

_ESCAPED = re.compile("\x01([\x01\x02])")


def _escaped(text: str) -> str:
    if "\x00" not in text and "\x01" not in text:
        return text
    return text.replace("\x01", "\x01\x01").replace("\x00", "\x01\x02")


def _unescaped(text: str) -> str:
    if "\x01" not in text:
        return text
    return _ESCAPED.sub(lambda m: "\x00" if m[1] == "\x02" else "\x01", text)


class _TextDumper(StrDumperUnknown):
    def dump(self, obj: str) -> Any:
        return super().dump(_escaped(obj))


def _unescaped_rows(cursor: Any) -> Callable[[Sequence[Any]], tuple[Any, ...]]:
    # Rows are read by psycopg's own loaders; only a string holding the
    # escape character is looked at again.
    def row(values: Sequence[Any]) -> tuple[Any, ...]:
        return tuple(_unescaped(v) if type(v) is str and "\x01" in v else v for v in values)
    return row


def _adapt(conn: psycopg.Connection[Any]) -> None:
    conn.adapters.register_dumper(str, _TextDumper)
    conn.row_factory = _unescaped_rows


# -- connecting ------------------------------------------------------------------

def _connect_options(url: str) -> dict[str, Any]:
    """Our defaults for what neither the URL nor the environment sets."""
    try:
        given = psycopg.conninfo.conninfo_to_dict(url)
    except psycopg.Error as e:
        raise StoreError(f"store {shown(url)} is not a usable URL: {_one_line(e, url)}") from None
    return {key: value for key, (env, value) in CONNECT_DEFAULTS.items()
            if key not in given and not (env and os.environ.get(env))}


def _one_line(e: BaseException, url: str) -> str:
    """An error's message on one line, without the URL's password."""
    text = "; ".join(line.strip() for line in str(e).splitlines() if line.strip()) or type(e).__name__
    secret = urllib.parse.urlsplit(url).password
    if secret:
        for form in {secret, urllib.parse.unquote(secret)}:
            text = text.replace(form, "***")
    return text
