"""A connection: what the host keeps for one agent's session with the engine.

A connection is opened once (`open_connection`): what the engine serves, the
surface for the profile, the server instructions for that surface followed by
the handshake text, the registry and the refresh timer. The call pipeline
(`kelvo_mcp.server.pipeline`) runs every tool call on it.
"""

from __future__ import annotations

import threading
import time
from collections import deque
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

import httpx

from kelvo_mcp import capabilities, explain, instructions, refresh, surfaces
from kelvo_mcp.engine.api import EngineClient


@dataclass
class CallRecord:
    """What one tool call did, kept for the walkthrough and the tests."""

    name: str
    ran: str
    digest: str


@dataclass
class Connection:
    """What the host keeps for one connection."""

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
    timer: refresh.RefreshState
    wall_clock: Callable[[], float]
    readonly: bool = False
    digest: dict[str, Any] | None = None
    digest_builds: int = 0
    history: deque[CallRecord] = field(default_factory=lambda: deque(maxlen=64))
    # What the rescan that ended last did, in words.
    last_rescan: str = ""
    # Guards what calls and rescans of this connection share across threads:
    # docs, notes, digest, digest_builds, history, last_rescan.
    lock: threading.Lock = field(default_factory=threading.Lock, repr=False, compare=False)

    @property
    def offered(self) -> set[str]:
        """The catalogue tools this connection runs."""
        return {name for tool in self.surface for name in tool.members}

    @property
    def server_instructions(self) -> str:
        """The instructions of the initialize result: the rendered server
        instructions, a blank line, the handshake text."""
        return f"{self.instructions}\n\n{self.handshake}"


def open_connection(engine: EngineClient, profile: str = "compact", *, readonly: bool = False,
                    config: refresh.DocsConfig | None = None, clock: Callable[[], float] = time.monotonic,
                    wall_clock: Callable[[], float] | None = None) -> Connection:
    """Connection start: what the engine serves, the surface, the server
    instructions for it, the registry and the handshake text. `clock` runs the
    refresh timer; `wall_clock` (the engine's by default) dates digests and
    learnings."""
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
    if caps.pages:
        try:
            docs, notes = refresh.derive_registry(engine)
        except httpx.HTTPError as exc:
            error = type(exc).__name__
    else:
        error = "this engine serves no pages"
    handshake = refresh.handshake_text(docs, error=error, display=display)
    timer = refresh.RefreshState(config.calls, config.minutes, clock)
    return Connection(engine, profile, config, caps, surface, display, text, docs, notes, handshake,
                      timer, wall_clock or engine.wall_clock, readonly)



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


