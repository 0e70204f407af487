"""Agent ids: what a client names itself by in the `com.kelvo/agent`
extension of its capabilities, {"com.kelvo/agent": {"id": "..."}}.

An id is 1 to 64 of [A-Za-z0-9_-]. The extension without an "id" is a client
that gives none: the scope's anonymous agent. Anything else under "id" (too
long, empty, a space, "/", non-ASCII, a number, null, a list, an object, a
boolean) is refused with JSON-RPC invalid params, the rule stated, rather
than folded into the anonymous agent: a client that meant to be told apart
must hear that it is not.

The refusal of a handshake-era `initialize` is answered here, at the HTTP
layer (`InitializeCheck`), before the SDK's session manager sees the request:
the manager makes a session for every opening request it is handed, so a
refusal there would leave one open. Requests of the single-exchange era make
no session; the server's handlers refuse those (`agent_setting`).
"""

from __future__ import annotations

import json
import re
from collections.abc import Mapping
from typing import Any

import mcp_types as types
from mcp import MCPError
from starlette.types import ASGIApp, Message, Receive, Scope, Send

AGENT_EXTENSION = "com.kelvo/agent"
AGENT_ID_RE = re.compile(r"[A-Za-z0-9_-]{1,64}")
RULE = (f'the {AGENT_EXTENSION} extension\'s "id" must be a string of 1 to 64 characters from [A-Za-z0-9_-] '
        '(leave "id" out to be the anonymous agent)')


def checked_id(extensions: Any) -> str | None:
    """The agent id named in a capabilities' "extensions" map; None for none.
    `ValueError` with the rule for a setting that names an invalid one."""
    if not isinstance(extensions, Mapping) or AGENT_EXTENSION not in extensions:
        return None
    settings = extensions[AGENT_EXTENSION]
    if settings is None:
        return None
    if not isinstance(settings, Mapping):
        raise ValueError(f"invalid {AGENT_EXTENSION} setting: it must be an object; {RULE}")
    if "id" not in settings:
        return None
    ident = settings["id"]
    if not isinstance(ident, str) or not AGENT_ID_RE.fullmatch(ident):
        raise ValueError(f"invalid {AGENT_EXTENSION} id: {RULE}")
    return ident


def agent_setting(caps: types.ClientCapabilities | None) -> str | None:
    """The agent id of a request's client capabilities, or None; an invalid
    one raises the JSON-RPC invalid-params error."""
    try:
        return checked_id(caps.extensions if caps is not None else None)
    except ValueError as e:
        raise MCPError(types.INVALID_PARAMS, str(e)) from None


def initialize_refusal(body: bytes) -> bytes | None:
    """The JSON-RPC error for an `initialize` request whose capabilities name
    an invalid agent id; None for every other body."""
    try:
        message = json.loads(body)
    except (ValueError, UnicodeDecodeError):
        return None
    if not isinstance(message, dict) or message.get("method") != "initialize":
        return None
    params = message.get("params")
    caps = params.get("capabilities") if isinstance(params, dict) else None
    try:
        checked_id(caps.get("extensions") if isinstance(caps, dict) else None)
    except ValueError as e:
        ident = message.get("id")
        error = {"jsonrpc": "2.0", "id": ident if isinstance(ident, (str, int)) and not isinstance(ident, bool)
                 else None, "error": {"code": types.INVALID_PARAMS, "message": str(e)}}
        return json.dumps(error).encode()
    return None


class InitializeCheck:
    """Refuses a handshake-era `initialize` with an invalid agent id before
    the session manager makes a session for it. Only a POST without a session
    header is read, up to `body_max` bytes (a longer one goes on untouched,
    for the SDK to refuse); the body is handed on as it was read."""

    def __init__(self, app: ASGIApp, body_max: int) -> None:
        self.app, self.body_max = app, body_max

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        headers = dict(scope.get("headers") or []) if scope["type"] == "http" else {}
        if scope["type"] != "http" or scope["method"] != "POST" or b"mcp-session-id" in headers:
            await self.app(scope, receive, send)
            return
        messages: list[Message] = []
        size, more = 0, True
        while more and size <= self.body_max:
            message = await receive()
            messages.append(message)
            if message["type"] != "http.request":
                break
            size += len(message.get("body", b""))
            more = message.get("more_body", False)
        refusal = None if more else initialize_refusal(b"".join(m.get("body", b"") for m in messages))
        if refusal is not None:
            await send({"type": "http.response.start", "status": 200,
                        "headers": [(b"content-type", b"application/json"),
                                    (b"content-length", str(len(refusal)).encode())]})
            await send({"type": "http.response.body", "body": refusal})
            return

        async def replay() -> Message:
            return messages.pop(0) if messages else await receive()

        await self.app(scope, replay, send)
