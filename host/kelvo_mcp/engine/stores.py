"""The embedded engine's store: the one interface both backends offer,
SQLite (`kelvo_mcp.engine.store`) and PostgreSQL
(`kelvo_mcp.engine.pgstore`); `kelvo_mcp.engine.backends` chooses between
them by what `--store` names. Both keep the same canvas with
the same rules: one transaction per engine call, writes one at a time
behind one canvas-wide lock, page ids, block numbers and the canvas order
kept in the store, the doc each page is indexed. The engine above knows
only this interface; the conformance tests run over both backends.

Failures the engine turns into its 503: `StoreUnavailable` (the store cannot
be reached, or is busy past its time-out) and `StoreConflict` (the database
gave up a transaction on a serialization failure or a deadlock; the engine
runs the call again, a few times).
"""

from __future__ import annotations

import functools
import os
import random
import time
import urllib.parse
from collections.abc import Callable
from contextlib import AbstractContextManager
from typing import Any, Protocol

from kelvo_mcp.engine.api import Page
from kelvo_mcp.engine.memory import CanvasTx
from kelvo_mcp.engine.schema import StoreError

__all__ = ["StoreBackend", "StoreConflict", "StoreError", "StoreTx", "StoreUnavailable", "is_database_url",
           "retried", "shown"]

_SCHEMES = ("postgresql://", "postgres://")


class StoreUnavailable(Exception):
    """The store cannot serve a transaction now (unreachable, or busy past
    its time-out); nothing of the transaction was committed unless the
    message says it may have been."""


class StoreConflict(StoreUnavailable):
    """The database ended the transaction on a serialization failure or a
    deadlock; nothing of it was committed, and running it again may succeed."""


class StoreTx(CanvasTx, Protocol):
    """The store inside one transaction, in the engine's terms: the canvas
    of one engine call, and the store's own settings."""

    def meta(self, key: str) -> Any: ...
    def set_meta(self, key: str, value: Any) -> None: ...
    def count(self) -> int: ...


class StoreBackend(Protocol):
    """An open store. Thread-safe; `close()` when done."""

    upgraded_from: int | None

    def transaction(self, write: bool = False) -> AbstractContextManager[Any]: ...
    @property
    def seeded_from(self) -> str | None: ...
    def seed(self, canvas: str, identity: dict[str, Any], pages: list[Page], *, source: str,
             next_page: int = 1, blocks_made: int = 0) -> bool: ...
    def seed_from(self, engine: Any, source: str) -> bool: ...
    def generation(self) -> int: ...
    def close(self) -> None: ...


CONFLICT_TRIES = 3  # how often an engine call runs when its store transaction keeps being given up


def retried(call: Callable[..., Any]) -> Callable[..., Any]:
    """An engine call run again when the store gave its transaction up on a
    conflict (nothing of it was committed); after the last try, the
    engine's 503 (its `status_error`)."""
    @functools.wraps(call)
    def run(self: Any, *args: Any, **kwargs: Any) -> Any:
        for tries_left in range(CONFLICT_TRIES - 1, -1, -1):
            try:
                return call(self, *args, **kwargs)
            except StoreConflict as e:
                if not tries_left:
                    raise self.status_error(503, "POST", f"/{call.__name__}", str(e)) from None
                time.sleep(random.uniform(0.005, 0.05))
        raise AssertionError("unreachable")
    return run


def is_database_url(where: str | os.PathLike[str]) -> bool:
    """Whether `--store` names a PostgreSQL database rather than a SQLite file."""
    return isinstance(where, str) and where.lower().startswith(_SCHEMES)


def shown(where: str | os.PathLike[str]) -> str:
    """The store as a line may show it: a URL without its password (in the
    user part or as a `password` parameter), a path as it is."""
    text = os.fspath(where)
    if not is_database_url(text):
        return text
    parts = urllib.parse.urlsplit(text)
    netloc = parts.netloc
    if "@" in netloc:
        user, _, hosts = netloc.rpartition("@")
        netloc = f"{user.partition(':')[0]}@{hosts}"
    query = urllib.parse.urlencode([(k, v) for k, v in urllib.parse.parse_qsl(parts.query, keep_blank_values=True)
                                    if k.lower() != "password"])
    return urllib.parse.urlunsplit((parts.scheme, netloc, parts.path, query, parts.fragment))
