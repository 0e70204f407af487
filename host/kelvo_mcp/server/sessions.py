"""Many sessions in one process: the SDK's session manager runs one server
loop per session, and each session gets its own `Connection` (surface, name
map, refresh timer, digest), opened when its initialize arrives. Everything
that calls the engine runs on worker threads under the host's own limiter, so
the event loop only moves messages: connection start, each tool call, and the
digest rescans, which run in the background while the call that found them
due answers with the digest it has.
"""

from __future__ import annotations

import contextlib
import functools
from collections.abc import AsyncIterator, Callable
from typing import Any

import anyio
import anyio.abc
import anyio.to_thread

from kelvo_mcp import refresh
from kelvo_mcp.server.connection import Connection, open_connection
from kelvo_mcp.server.pipeline import NO_PAGES, Reply, handle_call, rebuild_digest

ENGINE_THREADS = 16


class SessionHost:
    """What the sessions of one HTTP server share: the engine, the settings
    each connection is opened with, the limiter of engine calls, and the task
    group the rescans run in."""

    def __init__(self, engine: Any, profile: str = "compact", *, readonly: bool = False,
                 config: refresh.DocsConfig | None = None, engine_threads: int = ENGINE_THREADS) -> None:
        self.engine, self.profile, self.readonly, self.config = engine, profile, readonly, config
        self.engine_threads = engine_threads
        self.limiter: anyio.CapacityLimiter | None = None
        self.rescans: anyio.CapacityLimiter | None = None
        self._tasks: anyio.abc.TaskGroup | None = None
        self._shared: Connection | None = None
        self.opened = 0  # connections opened so far

    @contextlib.asynccontextmanager
    async def run(self) -> AsyncIterator[None]:
        """Serve: engine calls get their own limiter, apart from the default
        thread pool; background rescans get a smaller one of their own, so
        that many sessions coming due at once never hold up the calls. They
        run in a task group that ends with the server."""
        self.limiter = anyio.CapacityLimiter(self.engine_threads)
        self.rescans = anyio.CapacityLimiter(max(1, self.engine_threads // 4))
        async with anyio.create_task_group() as tg:
            self._tasks = tg
            try:
                yield
            finally:
                self._tasks = None
                tg.cancel_scope.cancel()

    async def in_engine_thread(self, fn: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
        """`fn` on a worker thread, counted against the engine limiter."""
        return await anyio.to_thread.run_sync(functools.partial(fn, *args, **kwargs), limiter=self.limiter)

    async def rescan(self, conn: Connection) -> None:
        await anyio.to_thread.run_sync(rebuild_digest, conn, limiter=self.rescans)

    async def open(self) -> Connection:
        """Connection start, off the event loop: capabilities, surface,
        instructions, the registry scan and the handshake; the first digest
        is built from that scan, so the first call already carries it."""
        self.opened += 1
        return await self.in_engine_thread(self._open)  # type: ignore[no-any-return]

    def _open(self) -> Connection:
        conn = open_connection(self.engine, self.profile, readonly=self.readonly, config=self.config)
        if conn.docs is not None and conn.timer.tick():
            extra = {"registry": "; ".join(f"{k}: {v}" for k, v in conn.notes.items())} if conn.notes else None
            conn.digest = refresh.build_digest(conn.docs, cap_chars=conn.config.digest_chars, now=conn.wall_clock(),
                                               extra=extra)
            conn.digest_builds += 1
            conn.timer.fired()
        return conn

    async def shared(self) -> Connection:
        """The connection of requests that come without a session (a client
        of the protocol's single-exchange era): one for them all."""
        if self._shared is None:
            conn = await self.open()
            self._shared = self._shared or conn
        return self._shared

    def start_rescan(self, conn: Connection) -> str | None:
        """Tick the connection's timer; when a rescan is due, start it in the
        background and say so. Runs on the event loop. None when not serving
        (no task group to run it in): the call then ticks and rescans itself."""
        if self._tasks is None:
            return None
        if not conn.caps.pages:
            return NO_PAGES
        if not conn.timer.tick():
            return "not due"
        self._tasks.start_soon(self.rescan, conn)
        return "due; rescanning in the background"

    async def call(self, conn: Connection, name: str, args: dict[str, Any]) -> Reply:
        digest = self.start_rescan(conn)
        return await self.in_engine_thread(handle_call, conn, name, args, digest=digest)  # type: ignore[no-any-return]


