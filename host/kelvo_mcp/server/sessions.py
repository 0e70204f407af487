"""Many agents in one process, in two tiers of state.

A scope is what agents with the same canvas, profile and rights share,
whoever they speak for: one `Connection` (capabilities, surface, name map,
instructions, the registry and the handshake), opened when the scope is
first used and rescanned once however many of its agents fall due at once.
None of it depends on the principal, so a thousand users of one canvas share
one. An agent is one `Agent` record under its principal and scope, told
apart by what the protocol gives publicly: the `Mcp-Session-Id` header in
the handshake era, the id a client sends in the `com.kelvo/agent` extension
of its capabilities in the single-exchange era, and else nothing (the
principal's one anonymous agent of the scope). Both tiers are bounded maps
with idle eviction: an evicted scope is opened again on next use, an evicted
agent starts a new record and is shown the standing docs again.

A new agent sees the store as it is: before `initialize`, `server/discover`
or an agent's first call is answered, the scope's registry is compared with
the store (`current`): the store generation the engine serves against the one
the registry was scanned at, and when they differ the scope rescans, once,
whoever else is waiting for it, without the digest's time budget (the scan
feeds a handshake, as a connection's opening scan does). An engine that
cannot say goes by the registry's age (`registry_max_age`). With nothing
changed a new agent costs one engine request, the generation. Agents already
connected keep their timers' cadence.

Everything that calls the engine runs on worker threads under the host's own
slots, so the event loop only moves messages: scope opening, each tool
call, and the rescans, which run in the background while the call that found
them due answers with the digest its agent has. Agent records and engine
slots are shared out among principals (`kelvo_mcp.server.shares`): no
principal holds more than its share of either.
"""

from __future__ import annotations

import contextlib
import functools
import time
import weakref
from collections.abc import AsyncIterator, Callable
from typing import Any

import anyio
import anyio.abc
import anyio.to_thread
import httpx

from kelvo_mcp import refresh
from kelvo_mcp.server.bounded import Bounded
from kelvo_mcp.server.connection import Agent, Connection, engine_generation, open_connection
from kelvo_mcp.server.pipeline import RESCAN, Reply, digest_due, handle_call, rebuild_digest
from kelvo_mcp.server.shares import Busy, FairSlots, SharedBounded

ENGINE_THREADS = 16
MAX_SCOPES = 256
MAX_AGENTS = 10_000
IDLE_SECONDS = 30 * 60.0
# The principal of every request when no token file names one (a loopback server).
LOCAL_PRINCIPAL = "local"
# How long a readiness answer is reused: probes from anyone cost the engine at most one request a second.
READY_SECONDS = 1.0
# How old a scope's registry may be when a new agent arrives, for an engine
# that cannot say whether its store changed.
REGISTRY_MAX_AGE = 30.0

ScopeKey = tuple[str, str, bool]  # canvas, profile, read-only
AgentKey = tuple[str, ScopeKey, str, str]  # principal, scope, "session", "agent-id" or "anonymous", the id


class SessionHost:
    """What the requests of one HTTP server share: the engine, the settings
    each scope is opened with, the scopes and agent records, the limiter of
    engine calls, and the task group the rescans run in."""

    def __init__(self, engine: Any, profile: str = "compact", *, readonly: bool = False,
                 config: refresh.DocsConfig | None = None, engine_threads: int = ENGINE_THREADS,
                 max_scopes: int = MAX_SCOPES, max_agents: int = MAX_AGENTS, idle_seconds: float = IDLE_SECONDS,
                 registry_max_age: float = REGISTRY_MAX_AGE, principal_share: float = 1.0,
                 clock: Callable[[], float] = time.monotonic) -> None:
        self.engine, self.profile, self.readonly, self.config = engine, profile, readonly, config
        self.engine_threads, self.principal_share, self.clock = engine_threads, principal_share, clock
        self.scopes: Bounded[ScopeKey, Connection] = Bounded(max_scopes, idle_seconds, clock=clock)
        # Each principal its share of the agent records.
        self.agents: SharedBounded[AgentKey, tuple[Connection, Agent]] = SharedBounded(
            max_agents, idle_seconds, share=principal_share, owner=lambda key: key[0], clock=clock,
            on_evict=lambda _key, entry: entry[0].forget(entry[1]))
        self.slots: FairSlots | None = None
        self.rescans: anyio.CapacityLimiter | None = None
        self._tasks: anyio.abc.TaskGroup | None = None
        self._opening: dict[ScopeKey, anyio.Lock] = {}
        self._canvas: str | None = config.canvas if config is not None else None
        self._ready: tuple[float, bool] | None = None
        self.opened = 0  # scopes opened so far
        self.registry_max_age = registry_max_age
        self._current: weakref.WeakKeyDictionary[Connection, anyio.Lock] = weakref.WeakKeyDictionary()
        self.new_agent_rescans = 0  # rescans run because a new agent found the store moved

    @contextlib.asynccontextmanager
    async def run(self) -> AsyncIterator[None]:
        """Serve: engine calls get their own slots, apart from the default
        thread pool, shared out fairly among principals; background rescans
        get a smaller limiter of their own, so that many scopes coming due at
        once never hold up the calls. They run in a task group that ends with
        the server."""
        self.slots = FairSlots(self.engine_threads, self.principal_share)
        self.rescans = anyio.CapacityLimiter(max(1, self.engine_threads // 4))
        async with anyio.create_task_group() as tg:
            self._tasks = tg
            try:
                yield
            finally:
                self._tasks = None
                tg.cancel_scope.cancel()

    async def in_engine_thread(self, fn: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
        """`fn` on a worker thread under an engine slot of the host's own (not a principal's)."""
        return await self.in_slot(None, fn, *args, bounded=False, **kwargs)

    async def in_slot(self, principal: str | None, fn: Callable[..., Any], *args: Any, bounded: bool = True,
                      **kwargs: Any) -> Any:
        """`fn` on a worker thread under an engine slot of `principal`'s
        (`FairSlots.run`; Busy past its queue when `bounded`)."""
        if self.slots is None:
            self.slots = FairSlots(self.engine_threads, self.principal_share)
        return await self.slots.run(principal, functools.partial(fn, *args, **kwargs), bounded=bounded)

    async def scope(self, readonly: bool = False, *, new_agent: bool = False) -> tuple[ScopeKey, Connection]:
        """The scope of a request with these rights (read-only: the server's
        own, or the credential's), opened off the event loop when it is new
        (or was evicted); requests that arrive while it opens wait for that
        one opening. `new_agent`: the request is a new agent's, which sees the
        store as it is: a scope this request did not open is brought up to
        date first (`current`)."""
        if self._canvas is None:
            self._canvas = await self.in_engine_thread(self._engine_canvas)
        key = (self._canvas, self.profile, self.readonly or readonly)
        conn = self.scopes.get(key)
        if conn is not None:
            if new_agent:
                await self.current(conn)
            return key, conn
        opened = False
        lock = self._opening.setdefault(key, anyio.Lock())
        try:
            async with lock:
                conn = self.scopes.get(key)
                if conn is None:
                    conn = await self.in_engine_thread(open_connection, self.engine, self.profile,
                                                       readonly=key[2], config=self.config)
                    self.opened += 1
                    self.scopes.put(key, conn)
                    opened = True
        finally:
            if not lock.locked() and lock.statistics().tasks_waiting == 0:
                self._opening.pop(key, None)
        if new_agent and not opened:
            await self.current(conn)
        return key, conn

    def _is_current(self, conn: Connection, store_generation: int | None) -> bool:
        if store_generation is not None:
            return conn.store_generation is not None and conn.store_generation >= store_generation
        return conn.clock() - conn.scanned_at < self.registry_max_age  # the clock the scan was timed by

    async def current(self, conn: Connection) -> None:
        """The scope's registry brought up to the store before a new agent is
        answered: one generation request, and when the store moved (or, from
        an engine that cannot say, the registry is older than
        `registry_max_age`) the scope's one rescan without a time budget,
        which every new agent arriving meanwhile waits for. A failed rescan
        leaves the registry as it was; the agent is answered from it."""
        if not conn.caps.pages:
            return
        store_generation = await self.in_engine_thread(engine_generation, conn.engine)
        if self._is_current(conn, store_generation):
            return
        lock = self._current.setdefault(conn, anyio.Lock())
        async with lock:
            if self._is_current(conn, store_generation):
                return  # the rescan another new agent waited for covers this one
            self.new_agent_rescans += 1
            await self.in_engine_thread(rebuild_digest, conn, None)

    def _engine_canvas(self) -> str:
        try:
            return str(self.engine.canvas)  # an engine over HTTP asks for it at first use
        except httpx.HTTPError:
            return refresh.DEFAULT_DOCS_CANVAS

    async def first_call(self, conn: Connection, agent: Agent) -> None:
        """An agent's first call, when no handshake of its own was checked:
        the scope brought up to the store first."""
        if not agent.checked:
            agent.checked = True
            await self.current(conn)

    def agent(self, principal: str, key: ScopeKey, conn: Connection, kind: str, ident: str) -> Agent:
        """The agent record of (principal, scope, kind, id); the principal's
        anonymous agent of the scope without an id. A record whose scope was
        opened again since moves to the new connection, its timer and
        history with it."""
        entry = self.agents.get((principal, key, kind, ident))
        if entry is not None and entry[0] is conn:
            return entry[1]
        agent = entry[1] if entry is not None else conn.new_agent(kind)
        if entry is not None and agent.calls:
            with conn.lock:
                conn.agents += 1
        self.agents.put((principal, key, kind, ident), (conn, agent))
        return agent

    async def rescan(self, conn: Connection) -> None:
        await anyio.to_thread.run_sync(rebuild_digest, conn, limiter=self.rescans)

    def start_rescan(self, conn: Connection, agent: Agent) -> str | None:
        """The digest step of a call, on the event loop: when the agent's
        digest is due and its scope has nothing newer, start the scope's
        rescan in the background and say so. None when not serving (no task
        group to run it in): the call then does the step itself."""
        if self._tasks is None:
            return None
        step = digest_due(conn, agent)
        if step != RESCAN:
            return step
        self._tasks.start_soon(self.rescan, conn)
        return "due; rescanning in the background"

    async def call(self, principal: str, conn: Connection, agent: Agent, name: str, args: dict[str, Any]) -> Reply:
        """A tool call of `principal`'s agent, under an engine slot of its share."""
        slots = self.slots
        if slots is not None and slots.waiting(principal) >= slots.queue_bound:
            # Past its queue: the call is refused before its digest step, so nothing of it happened.
            busy = slots.busy(principal)
            return Reply({"error": busy.sentence(name)}, busy.sentence(name), "", "not run")
        digest = self.start_rescan(conn, agent)
        try:
            return await self.in_slot(principal, handle_call, conn, name, args,  # type: ignore[no-any-return]
                                      agent=agent, digest=digest)
        except Busy as busy:
            return Reply({"error": busy.sentence(name)}, busy.sentence(name), "", "not run")

    async def ready(self) -> bool:
        """Whether the engine answers a one-row page listing (the embedded
        engine reads its store for it), the answer reused for READY_SECONDS
        so that probes cannot drive engine requests."""
        now = self.clock()
        if self._ready is None or now - self._ready[0] >= READY_SECONDS:
            self._ready = (now, self._ready[1] if self._ready is not None else True)  # one probe at a time
            try:
                await self.in_engine_thread(self.engine.list_pages, 1)  # bounded by the engine client's time-outs
                ok = True
            except Exception:  # any failure means not ready; the probe says no more
                ok = False
            self._ready = (self.clock(), ok)
        return self._ready[1]
