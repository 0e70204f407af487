"""Handshake-era sessions counted per principal, so that no principal holds
more than its share of `--max-sessions`.

The SDK offers no public hook for a session's start and end, so the count
is kept here from what passes through: a session starts when a request
without a session id is answered below 400 with an `Mcp-Session-Id`, and
ends on the SDK's own rules: no request in flight (a stream counts while it
is open) for the idle time, a successful `DELETE`, or a 404 for its id (the
SDK forgot it). A request that would open a session for a principal already
at its share gets 429 with `Retry-After` before the SDK sees it. Only ids
the SDK handed out are kept, each under the principal that opened it; a
request carrying any other id passes through untouched and leaves nothing.
"""

from __future__ import annotations

import json
import math
import time
from collections.abc import Callable
from dataclasses import dataclass

from mcp.server.streamable_http import MCP_SESSION_ID_HEADER
from mcp_types.version import HANDSHAKE_PROTOCOL_VERSIONS
from starlette.types import ASGIApp, Message, Receive, Scope, Send

from kelvo_mcp.access_log import note
from kelvo_mcp.server.shares import share_of

_SESSION_HEADER = MCP_SESSION_ID_HEADER.lower().encode()


@dataclass
class _Session:
    principal: str
    in_flight: int = 0
    last_end: float = 0.0


class SessionLedger:
    """An ASGI wrapper of the SDK's application, run behind authentication
    (`principal()` names the request's principal). `app` may be set after
    construction, before serving."""

    def __init__(self, app: ASGIApp | None = None, *, principal: Callable[[], str], max_sessions: int,
                 share: float, idle_seconds: float | None, clock: Callable[[], float] = time.monotonic) -> None:
        self.app: ASGIApp = app  # type: ignore[assignment]
        self.principal, self.clock = principal, clock
        self.cap, self.idle_seconds = share_of(max_sessions, share), idle_seconds
        # A share of the whole bound is the SDK's own limit (503 when the server is full).
        self.whole = self.cap >= max_sessions
        self.sessions: dict[str, _Session] = {}
        self.owned: dict[str, set[str]] = {}   # each principal's session ids
        self.opening: dict[str, int] = {}      # requests under way that may open a session, per principal
        self.refused = 0
        self._swept = clock()

    def held(self, principal: str) -> int:
        for sid in list(self.owned.get(principal, ())):
            self._expired(sid)
        return len(self.owned.get(principal, ())) + self.opening.get(principal, 0)

    def is_open(self, session_id: str) -> bool:
        return session_id in self.sessions and not self._expired(session_id)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        headers = dict(scope["headers"])
        sid = headers.get(_SESSION_HEADER)
        if sid is not None:
            await self._within(sid.decode("latin-1"), scope, receive, send)
            return
        version = headers.get(b"mcp-protocol-version")
        if version is not None and version.decode("latin-1") not in HANDSHAKE_PROTOCOL_VERSIONS:
            await self.app(scope, receive, send)  # the single-exchange era: no session
            return
        await self._opening(scope, receive, send)

    async def _opening(self, scope: Scope, receive: Receive, send: Send) -> None:
        self._sweep()
        who = self.principal()
        note(scope, principal=who)
        if not self.whole and self.held(who) >= self.cap:
            self.refused += 1
            await self._refuse(who, send)
            return
        self.opening[who] = self.opening.get(who, 0) + 1
        opened: list[str] = []

        async def watch(message: Message) -> None:
            if message["type"] == "http.response.start" and message["status"] < 400 and not opened:
                sid = dict(message.get("headers", [])).get(_SESSION_HEADER)
                if sid is not None:
                    opened.append(sid.decode("latin-1"))
                    self._add(opened[0], _Session(who, in_flight=1))
            await send(message)

        try:
            await self.app(scope, receive, watch)
        finally:
            left = self.opening[who] - 1
            if left:
                self.opening[who] = left
            else:
                del self.opening[who]
            if opened:
                self._ended(opened[0])

    async def _within(self, sid: str, scope: Scope, receive: Receive, send: Send) -> None:
        session = self.sessions.get(sid)
        if session is None or session.principal != self.principal():
            # Not one we counted, or another principal's: the SDK answers it (404), nothing is kept.
            await self.app(scope, receive, send)
            return
        session.in_flight += 1
        status = 0

        async def watch(message: Message) -> None:
            nonlocal status
            if message["type"] == "http.response.start":
                status = message["status"]
            await send(message)

        try:
            await self.app(scope, receive, watch)
        finally:
            self._ended(sid)
            if status == 404 or (scope["method"] == "DELETE" and 200 <= status < 300):
                self._drop(sid)

    def _add(self, sid: str, session: _Session) -> None:
        self.sessions[sid] = session
        self.owned.setdefault(session.principal, set()).add(sid)

    def _drop(self, sid: str) -> None:
        session = self.sessions.pop(sid, None)
        if session is not None:
            mine = self.owned[session.principal]
            mine.discard(sid)
            if not mine:
                del self.owned[session.principal]

    def _ended(self, sid: str) -> None:
        session = self.sessions.get(sid)
        if session is not None:
            session.in_flight -= 1
            session.last_end = self.clock()

    def _sweep(self) -> None:
        """Every idle session dropped, once an idle time: a principal that
        never comes back leaves nothing behind for long."""
        if self.idle_seconds is None or self.clock() - self._swept < self.idle_seconds:
            return
        self._swept = self.clock()
        for sid in list(self.sessions):
            self._expired(sid)

    def _expired(self, sid: str) -> bool:
        """The SDK's idle rule: no request in flight for the idle time. An expired session is dropped."""
        session = self.sessions[sid]
        if self.idle_seconds is None or session.in_flight or self.clock() - session.last_end < self.idle_seconds:
            return False
        self._drop(sid)
        return True

    def retry_after(self, principal: str) -> int:
        """Seconds until the principal's first idle session expires (the idle time when none is idle)."""
        if self.idle_seconds is None:
            return 60
        now = self.clock()
        idle = [self.sessions[sid].last_end + self.idle_seconds - now for sid in self.owned.get(principal, ())
                if not self.sessions[sid].in_flight]
        return max(1, math.ceil(min(idle, default=self.idle_seconds)))

    async def _refuse(self, principal: str, send: Send) -> None:
        message = (f"Too many open sessions for this principal: {self.cap} is its share; end one (DELETE) or "
                   "let it go idle")
        body = json.dumps({"jsonrpc": "2.0", "id": None, "error": {"code": -32000, "message": message}}).encode()
        await send({"type": "http.response.start", "status": 429,
                    "headers": [(b"content-type", b"application/json"), (b"content-length", str(len(body)).encode()),
                                (b"retry-after", str(self.retry_after(principal)).encode())]})
        await send({"type": "http.response.body", "body": body})
