"""The access log of a listener (`--access-log FILE|-`): one line per
request, written when its response ends:

    2026-12-10T01:02:03.456Z 5f0c2a91e3b7 principal=alice agent=agent-id:build-bot-3
        call=tools/call:kelvo_status status=200 ms=12.4      (one line)

the time the request arrived (UTC), a request id (also sent back as the
`X-Request-Id` header), the principal, the agent key, the method or tool,
the status and the duration. Never a token, a body or an argument: the
middleware sees only the request line's method and path and the response's
status, and the pieces that know more (authentication, the MCP handlers, the
engine's gate) fill in the principal, agent and call through `note`.

Refusals of the Host and Origin checks are the SDK's WARNINGs, one per
request, which a stranger can send by the thousand: `summarise_refusals`
counts them instead, and logs how many at most once a minute.
"""

from __future__ import annotations

import datetime
import logging
import os
import sys
import threading
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any, TextIO

from starlette.types import ASGIApp, Message, Receive, Scope, Send

# Where a request's record lives in its ASGI scope, for the pieces that fill it in.
SCOPE_KEY = "kelvo.access"
REFUSAL_LOGGER = "mcp.server.transport_security"
SUMMARY_SECONDS = 60.0


def _clean(value: object, limit: int = 96) -> str:
    """A field as one word: printable, no spaces, bounded."""
    text = "".join(c if c.isprintable() and not c.isspace() else "?" for c in str(value)[:limit])
    return text or "-"


def note(scope: Any, **fields: str) -> None:
    """Fill in fields of the request's access record (nothing when the log is off)."""
    record = scope.get(SCOPE_KEY) if isinstance(scope, dict) else None
    if record is not None:
        record.update(fields)


class AccessLog:
    """The log's file ("-": standard error), one line a request, written whole under a lock."""

    def __init__(self, target: str, clock: Callable[[], float] = time.time) -> None:
        self.clock = clock
        self._lock = threading.Lock()
        self._own = target != "-"
        try:
            self._out: TextIO = open(Path(target), "a", encoding="utf-8") if self._own else sys.stderr  # noqa: SIM115
        except OSError as e:
            raise ValueError(f"cannot open access log {target}: {e.strerror or e}") from None

    def write(self, record: dict[str, Any], status: int, started: float, seconds: float) -> None:
        at = datetime.datetime.fromtimestamp(started, datetime.UTC).isoformat(timespec="milliseconds")
        line = (f"{at.replace('+00:00', 'Z')} {record['id']} principal={_clean(record.get('principal', '-'), 200)} "
                f"agent={_clean(record.get('agent', '-'), 160)} call={_clean(record.get('call', '-'))} "
                f"status={status} ms={seconds * 1000:.1f}\n")
        with self._lock:
            self._out.write(line)
            self._out.flush()

    def close(self) -> None:
        if self._own:
            self._out.close()


class AccessLogged:
    """ASGI middleware: a record per HTTP request in its scope, a line per request once its response ends."""

    def __init__(self, app: ASGIApp, log: AccessLog) -> None:
        self.app, self.log = app, log

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        rid = os.urandom(6).hex()
        record: dict[str, Any] = {"id": rid, "call": f"{scope['method']}:{scope['path']}"}
        scope[SCOPE_KEY] = record
        started, ticks = self.log.clock(), time.perf_counter()
        status = 0

        async def watch(message: Message) -> None:
            nonlocal status
            if message["type"] == "http.response.start":
                status = message["status"]
                message = {**message, "headers": [*message.get("headers", []), (b"x-request-id", rid.encode())]}
            await send(message)

        try:
            await self.app(scope, receive, watch)
        finally:
            self.log.write(record, status, started, time.perf_counter() - ticks)


class RefusalSummary(logging.Filter):
    """Swallows the SDK's WARNING for each refused Host or Origin header and
    logs their count at most once every SUMMARY_SECONDS (the first at once)."""

    def __init__(self, clock: Callable[[], float] = time.monotonic) -> None:
        super().__init__()
        self.clock = clock
        self.count = 0
        self.total = 0
        self.last: float | None = None
        self._lock = threading.Lock()
        self.out = logging.getLogger("kelvo_mcp.server")

    def filter(self, record: logging.LogRecord) -> bool:
        if record.levelno < logging.WARNING:
            return True
        now = self.clock()
        with self._lock:
            self.count += 1
            self.total += 1
            due = self.last is None or now - self.last >= SUMMARY_SECONDS
            if due:
                count, self.count, self.last = self.count, 0, now
        if due:
            self.out.warning("refused %d request%s for their Host or Origin header since the last count "
                             "(counted, and told at most once a minute)", count, "" if count == 1 else "s")
        return False


def summarise_refusals() -> RefusalSummary:
    """Install the summary on the SDK's transport-security logger (once a process)."""
    logger = logging.getLogger(REFUSAL_LOGGER)
    for existing in logger.filters:
        if isinstance(existing, RefusalSummary):
            return existing
    summary = RefusalSummary()
    logger.addFilter(summary)
    return summary
