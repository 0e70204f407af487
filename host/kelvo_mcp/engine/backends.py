"""The choice of store backend, by what `--store` names:

    store = open_store("canvas.db")                              # SQLite: processes on one host
    store = open_store("postgresql://kelvo@db.internal/kelvo")   # PostgreSQL: any number of machines

A path is a SQLite file (`kelvo_mcp.engine.store`); a `postgresql://` URL
is a PostgreSQL database (`kelvo_mcp.engine.pgstore`, which imports psycopg,
so only a host that asks for one needs it). Both offer the interface of
`kelvo_mcp.engine.stores`, which is all the engine above knows.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any

from kelvo_mcp.engine.stores import StoreBackend, StoreError, is_database_url

__all__ = ["open_store"]


def open_store(where: str | os.PathLike[str], **options: Any) -> StoreBackend:
    """The store `where` names: a `postgresql://` URL (the text as given,
    never read as a path) or a SQLite file. `StoreError` in one line when it
    cannot be used. `options` (`busy_timeout`) go to the backend's `open`."""
    if is_database_url(where):
        assert isinstance(where, str)
        try:
            from kelvo_mcp.engine.pgstore import PgStore
        except ImportError as e:
            raise StoreError(f"a postgresql:// store needs psycopg 3 and psycopg_pool "
                             f"(pip install 'psycopg[binary]' psycopg-pool): {e}") from None
        return PgStore.open(where, **options)
    from kelvo_mcp.engine.store import Store

    return Store.open(Path(where), **options)
