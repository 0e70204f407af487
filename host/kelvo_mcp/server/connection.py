"""A connection: what the host keeps for the agents of one scope, and for
each agent apart.

A connection is opened once per scope (`open_connection`): what the engine
serves, the surface for the profile, the server instructions for that surface
followed by the handshake text, and the registry. Every agent of the scope
shares it; a rescan of the registry, started by whichever agent falls due
first, serves them all, and re-renders the handshake when the approved
instructions changed. What belongs to one agent is an `Agent`: the refresh
timer that counts its own calls, the digest it was last given, its call
history. The call pipeline (`kelvo_mcp.server.pipeline`) runs every tool call
on a connection for one agent.
"""

from __future__ import annotations

import itertools
import threading
import time
from collections import deque
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

import httpx

from kelvo_mcp import capabilities, explain, instructions, refresh, surfaces
from kelvo_mcp.engine.api import EngineClient

# Registry generations count up across every connection of the process, so an
# agent whose connection was evicted and opened again still finds the new
# registry newer than its digest. (The store generation the engine serves,
# raised by every write and approval, is another counter:
# `Connection.store_generation` keeps the one its registry was scanned at.)
_generations = itertools.count(1)


def next_generation() -> int:
    return next(_generations)


@dataclass
class CallRecord:
    """What one tool call did, kept for the walkthrough and the tests."""

    name: str
    ran: str
    digest: str


@dataclass(eq=False)
class Agent:
    """What the host keeps for one agent: the cadence of its own digest (its
    calls, not everyone's), the digest it was given and the registry
    generation that digest came from, its calls and their history, the
    instructions version of the handshake it was shown (None: not known to
    this process) and when it was last seen."""

    key: str  # "session", "agent-id" or "anonymous": what the agent is told apart by
    timer: refresh.RefreshState
    digest: dict[str, Any] | None = None
    generation: int = 0
    calls: int = 0
    shown: str | None = None
    last_seen: float = 0.0
    # Whether a request of this agent was checked against the store (its
    # handshake or its first call): later calls keep the timer's cadence.
    checked: bool = False
    history: deque[CallRecord] = field(default_factory=lambda: deque(maxlen=64))


@dataclass(eq=False)
class Connection:
    """What the agents of one scope share."""

    engine: EngineClient
    profile: str
    config: refresh.DocsConfig
    caps: capabilities.Capabilities
    surface: list[surfaces.SurfaceTool]
    display: Callable[[str], str]
    instructions: str
    docs: list[refresh.DocInfo] | None
    notes: dict[str, str]
    handshake: str
    clock: Callable[[], float]
    wall_clock: Callable[[], float]
    readonly: bool = False
    # The approved instructions the handshake was rendered from.
    version: str | None = None
    # The digest of the latest registry, and that registry's generation.
    digest: dict[str, Any] | None = None
    generation: int = 0
    # Rescans that ended, what the last one did in words, and when it ended (wall clock).
    rescans: int = 0
    last_rescan: str = ""
    last_rescan_at: float | None = None
    # A rescan under way, and the agents that fell due while it runs.
    rescanning: bool = False
    waiting: list[Agent] = field(default_factory=list)
    # Agents this process keeps a record of that have called a tool here.
    agents: int = 0
    # The engine's store generation the registry was scanned at (None: the
    # engine cannot say), and when that scan started (`clock`): what a new
    # agent's request is checked against (`kelvo_mcp.server.sessions`).
    store_generation: int | None = None
    scanned_at: float = 0.0
    # The agent of a connection that serves one (stdio, the walkthrough), and
    # of requests that name none.
    agent: Agent = field(init=False)
    # Guards what calls and rescans share across threads: docs, notes,
    # handshake, version, digest, generation, the rescan fields, the agents'
    # digests and histories.
    lock: threading.Lock = field(default_factory=threading.Lock, repr=False, compare=False)

    def __post_init__(self) -> None:
        self.agent = self.new_agent("anonymous")

    def new_agent(self, key: str) -> Agent:
        """A new agent record; it counts among the connection's agents from its first call."""
        return Agent(key, refresh.RefreshState(self.config.calls, self.config.minutes, self.clock),
                     shown=self.version, last_seen=self.clock())

    def forget(self, agent: Agent) -> None:
        """The host dropped the agent's record."""
        with self.lock:
            if agent.calls:
                self.agents -= 1

    @property
    def offered(self) -> set[str]:
        """The catalogue tools this connection runs."""
        return {name for tool in self.surface for name in tool.members}

    @property
    def server_instructions(self) -> str:
        """The instructions of the initialize and discover results: the
        rendered server instructions, a blank line, the handshake text."""
        with self.lock:
            return f"{self.instructions}\n\n{self.handshake}"


def open_connection(engine: EngineClient, profile: str = "compact", *, readonly: bool = False,
                    config: refresh.DocsConfig | None = None, clock: Callable[[], float] = time.monotonic,
                    wall_clock: Callable[[], float] | None = None) -> Connection:
    """Connection start: what the engine serves, the surface, the server
    instructions for it, the registry and the handshake text, and the digest
    of that registry, so an agent's first call already carries it. `clock`
    runs the refresh timers; `wall_clock` (the engine's by default) dates
    digests and learnings."""
    if config is None:
        try:
            canvas = engine.canvas  # an engine over HTTP asks for it at first use
        except httpx.HTTPError:
            canvas = refresh.DEFAULT_DOCS_CANVAS
        config = refresh.DocsConfig(enabled=True, canvas=canvas)
    caps = capabilities.resolve(engine)
    surface = surfaces.build_surface(profile, readonly=readonly, absent=caps.absent)
    display = surfaces.display_name(surface)
    # Paragraphs are chosen by catalogue names, so a family counts through its members.
    visible = [name for tool in surface for name in tool.members]
    text = instructions.render(visible, display=display, profile=profile,
                               rewrites=instructions.COMPACT_REWRITES if profile == "compact" else ())
    docs: list[refresh.DocInfo] | None = None
    notes: dict[str, str] = {}
    error = None
    store_generation, scanned_at = None, clock()
    if caps.pages:
        store_generation = engine_generation(engine)  # before the scan: a write during it shows as newer
        try:
            docs, notes = refresh.derive_registry(engine)
        except httpx.HTTPError as exc:
            error = type(exc).__name__
    else:
        error = "this engine serves no pages"
    handshake = refresh.handshake_text(docs, error=error, display=display)
    wall = wall_clock or engine.wall_clock
    conn = Connection(engine, profile, config, caps, surface, display, text, docs, notes, handshake, clock, wall,
                      readonly, version=refresh.instructions_version(docs) if docs is not None else None)
    if docs is not None:
        conn.digest = refresh.build_digest(docs, cap_chars=config.digest_chars, now=wall(), extra=registry_notes(notes))
        conn.generation = next_generation()
        conn.store_generation, conn.scanned_at = store_generation, scanned_at
    return conn


def engine_generation(engine: Any) -> int | None:
    """The engine's store generation, or None when it cannot say: a client
    without the call, an engine without the route, or one that failed to
    answer (the caller then goes by the registry's age)."""
    read = getattr(engine, "store_generation", None)
    if read is None:
        return None
    try:
        value = read()
    except httpx.HTTPError:
        return None
    return value if isinstance(value, int) and not isinstance(value, bool) else None


def registry_notes(notes: dict[str, str]) -> dict[str, str] | None:
    """What the scan said about itself, as the digest's "registry" member."""
    return {"registry": "; ".join(f"{k}: {v}" for k, v in notes.items())} if notes else None


class Missing(Exception):
    """A handler found no object by the name or id it was given."""

    def __init__(self, kind: str, ident: str, causes: list[str], next_call: str) -> None:
        super().__init__(kind, ident)
        self.kind, self.ident, self.causes, self.next_call = kind, ident, causes, next_call



def surface_call(conn: Connection, tool: str, **args: Any) -> str:
    """A catalogue call rendered the way this surface takes it, for the next
    call a message suggests: `kelvo_page_read(op='get', page_id='p1')` where
    the surface folds `kelvo_page_get` into its family."""
    for st in conn.surface:
        for op, member in st.ops.items():
            if member == tool:
                return explain.call(st.name, op=op, **args)
    return explain.call(tool, **args)


