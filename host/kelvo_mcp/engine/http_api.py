"""The embedded engine behind a real HTTP boundary.

    python -m kelvo_mcp.engine --store canvas.db --listen 127.0.0.1:8470
    python -m kelvo_mcp.engine --store canvas.db --listen 127.0.0.1:0 --latency-ms 2
    python -m kelvo_mcp.engine --listen 127.0.0.1:0 --canvas my.json     # in memory, gone at exit
    python -m kelvo_mcp.engine --store canvas.db --approve deploy-steps   # the user reads a doc, approves it
    python -m kelvo_mcp.engine --store canvas.db --approve deploy-steps --expect REVISION   # away from a terminal
    python -m kelvo_mcp.engine --store canvas.db --revoke deploy-steps    # ... or withdraws it
    python -m kelvo_mcp.engine --store canvas.db --history deploy-steps   # the approval log of a name

When it is ready it prints one line, "kelvo engine serving <what> at
<url>", the URL with the port actually bound (port 0 picks a free one);
`kelvo_mcp.engine.client.HttpEngine(url)` talks to it. Several engine
processes may serve the same store file. The command line is in
`kelvo_mcp.engine.cli`.

Routes, under /v1, JSON in and out (`page_id`, `name` and `canvas` percent-encoded):

    GET    /canvases                                list_canvases
    GET    /canvases/{canvas}/whoami                whoami
    GET    /canvases/{canvas}/resolve               the canvas's id and name
    GET    /canvases/{canvas}/pages?limit=&cursor=  list_pages
    POST   /canvases/{canvas}/pages                 create_page   {"title", "blocks", "icon"?}
    GET    /canvases/{canvas}/pages/{page_id}       get_page      (ETag: "<revision>")
    PATCH  /canvases/{canvas}/pages/{page_id}       rename_page   {"title"}
    DELETE /canvases/{canvas}/pages/{page_id}       delete_page
    POST   /canvases/{canvas}/pages/{id}/blocks     append_blocks {"blocks"}
    PUT    /canvases/{canvas}/pages/{id}/blocks     write_blocks  {"blocks"}
    PATCH  /canvases/{canvas}/pages/{id}/blocks     update_blocks {"updates"}
    PUT    /canvases/{canvas}/docs/{name}           save_doc      {"blocks", "kind"?}
    POST   /canvases/{canvas}/learnings             append_learning {"blocks"}
    PUT    /canvases/{canvas}/pages/{id}/approval   approve       {"state"}: the user's act, admin token only
    GET    /canvases/{canvas}/generation            store_generation {"store_generation": N}
    any    /canvases/{canvas}/{call}                the engine's 501 for a call it does not serve

What a request passes before the engine sees it (`Gate`), each refusal one
JSON line {"detail": ...} on a closed connection, nothing read further and
nothing written: the Host header against the allow-list (421) and the
Origin, when sent, too (403), so a page in a browser reaches nothing, not
by a cross-site form nor by DNS rebinding; then the bearer token when one is
set (401). The approval route takes the admin token alone: an agent's token
is refused there (403), and without an admin token approvals are not taken
over HTTP at all (403): the user's approval is what makes a doc an
instruction, and no agent credential can stand in for it. A method that
carries a body needs a Content-Length (411; chunked bodies are refused too),
within the cap (413), and the JSON media type (415); a malformed length is
the HTTP stack's 400. Read deadlines and the connection bound are the
listener's (`kelvo_mcp.listen`).

An error is the engine's own status with a JSON body {"detail": ...} (a
string, or a list of {"loc", "msg"} items for a body that fails
validation), and the header X-Kelvo-Error where the engine sets one: a
canvas other than the one served is 404 with X-Kelvo-Error:
canvas_not_found. A time-out injected with `fail_next` comes back as 504.

What the engine reads as numbers is ASCII digits of a bounded length, else
400 with a detail line: `limit` (1 to 4 digits, then held to 1..1000),
`cursor` (what a listing gave) and the numbering of a block id sent in a
body ("b" and digits). A doc is saved only under a name and a kind the core
takes (`refresh.valid_name`, `refresh.DOC_KINDS`), else 422 with nothing
written, so "one doc per name" holds for every page the engine writes.

The approval route names the revision the user read: `If-Match: "<revision>"`
(the page's ETag) is required (428 without it; `*` and weak tags are not
taken), a page at another revision answers 412 with its current ETag, a page
that is not the doc in force for its name 409 naming the one that is, a state
other than "approved" or "none" 422. "none" revokes every page of the name.

uvicorn serves it; engine calls run on worker threads (at most
`ENGINE_THREADS` at once), the engine serialising what must be serialised (a
store transaction per call). The request's JSON is parsed, and the reply's
written, on the thread that serves the call, never on the event loop. Under
the GIL the C codec still holds the interpreter for a whole parse or write
(about 80 ms each for 14 MB), so a large body delays other requests by that
much, not by the whole request (`bench/run.py engine`).
"""

from __future__ import annotations

import hmac
import json
import logging
import urllib.parse

import anyio
from starlette.datastructures import Headers
from starlette.types import Receive, Scope, Send

from kelvo_mcp.access_log import SCOPE_KEY, note
from kelvo_mcp.engine.api import ascii_number
from kelvo_mcp.engine.embedded import EmbeddedEngine
from kelvo_mcp.engine.routes import Reply, serve
from kelvo_mcp.listen import header_allowed

API_PREFIX = "/v1"
BODY_MAX = 16 * 1024 * 1024
ENGINE_THREADS = 16
_BODY_METHODS = ("POST", "PUT", "PATCH")

log = logging.getLogger("kelvo_mcp.engine")


class _Gone(Exception):
    """The client went away before its body was read: there is no one to answer."""


def _parts(path: str) -> list[str] | None:
    """The path's segments under the API prefix, unquoted; None outside it."""
    if path != API_PREFIX and not path.startswith(API_PREFIX + "/"):
        return None
    parts = [urllib.parse.unquote(p) for p in path[len(API_PREFIX):].split("/")[1:]]
    if parts and parts[-1] == "":
        parts.pop()
    return parts


def route_shape(parts: list[str] | None) -> str:
    """The route a path takes, its ids and names left out (for the access log)."""
    if parts is None:
        return "?"
    names = {1: "{canvas}"} if parts[:1] == ["canvases"] else {}
    for i, part in enumerate(parts[:-1]):
        if i >= 2 and part in ("pages", "docs"):
            names[i + 1] = "{name}" if part == "docs" else "{page_id}"
    return "/".join(names.get(i, p[:32]) for i, p in enumerate(parts))


def _is_approval(parts: list[str] | None) -> bool:
    return parts is not None and len(parts) == 5 and parts[0] == "canvases" and parts[2:5:2] == ["pages", "approval"]


class Gate:
    """The checks a request passes before its body is read (see the module
    docstring); `check` raises the refusal."""

    def __init__(self, hosts: list[str], origins: list[str], token: str | None = None,
                 admin_token: str | None = None, body_max: int = BODY_MAX) -> None:
        self.hosts, self.origins, self.body_max = hosts, origins, body_max
        self.token, self.admin_token = token, admin_token

    def principal(self, headers: Headers) -> str:
        """Whose token the request carries, by role (for the access log)."""
        given = self._bearer(headers)
        if _same(given, self.admin_token):
            return "admin"
        if self.token is None:
            return "local"
        return "agent" if _same(given, self.token) else "-"

    def check(self, method: str, parts: list[str] | None, headers: Headers) -> int:
        """The length of the body to read (0 for none)."""
        hosts = headers.getlist("host")
        if len(hosts) != 1 or not header_allowed(hosts[0], self.hosts):
            raise Reply(421, "the Host header names no host this engine serves")
        origins = headers.getlist("origin")
        if origins and (len(origins) > 1 or not header_allowed(origins[0], self.origins)):
            raise Reply(403, "requests from this Origin are not taken")
        given = self._bearer(headers)
        if _is_approval(parts):
            if self.admin_token is None:
                raise Reply(403, "this engine takes no approvals over HTTP; the user approves a doc with "
                                  "python -m kelvo_mcp.engine --store FILE --approve NAME")
            if not _same(given, self.admin_token):
                raise Reply(403, "approving a doc takes the admin token; an agent's token never approves")
        elif self.token is not None and not (_same(given, self.token) or _same(given, self.admin_token)):
            raise Reply(401, "a bearer token is required", {"WWW-Authenticate": 'Bearer realm="kelvo-engine"'})
        return self._length(method, headers)

    def _length(self, method: str, headers: Headers) -> int:
        lengths = headers.getlist("content-length")
        if "transfer-encoding" in headers:
            raise Reply(411, "chunked bodies are not taken: send the body with a Content-Length")
        if method not in _BODY_METHODS:
            if any(v.strip() != "0" for v in lengths):
                raise Reply(400, f"a {method} request carries no body")
            return 0
        if not lengths:
            raise Reply(411, "a body needs a Content-Length")
        length = ascii_number(lengths[0].strip()) if len(set(lengths)) == 1 else None
        if length is None:
            raise Reply(400, "the Content-Length is not a whole number of bytes")
        if length > self.body_max:
            raise Reply(413, f"the body is larger than {self.body_max} bytes")
        media = headers.get("content-type", "").partition(";")[0].strip().lower()
        if length and media != "application/json":
            raise Reply(415, "the body must be sent as application/json")
        return length

    @staticmethod
    def _bearer(headers: Headers) -> str | None:
        scheme, _, given = headers.get("authorization", "").partition(" ")
        return given.strip() if scheme.lower() == "bearer" else None


def _same(given: str | None, token: str | None) -> bool:
    return given is not None and token is not None and hmac.compare_digest(given.encode(), token.encode())


class EngineApp:
    """The ASGI application: the gate and the body read on the event loop,
    then `serve` (the JSON parsed, `route`, the reply written) on a worker
    thread; `latency` seconds are spent before each request is served."""

    def __init__(self, engine: EmbeddedEngine, gate: Gate, latency: float = 0.0,
                 threads: int = ENGINE_THREADS) -> None:
        self.engine, self.gate, self.latency, self.threads = engine, gate, latency, threads
        self._limiter: anyio.CapacityLimiter | None = None

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            return
        method = scope["method"]
        raw_path, query = scope["raw_path"].decode("latin-1"), scope["query_string"].decode("latin-1")
        # The gate and the router read one parse of the path: what the gate
        # let through is what runs.
        parts = _parts(raw_path)
        if SCOPE_KEY in scope:
            note(scope, principal=self.gate.principal(Headers(scope=scope)), call=f"{method}:{route_shape(parts)}")
        try:
            try:
                length = self.gate.check(method, parts, Headers(scope=scope))
            except Reply as r:
                r.headers["Connection"] = "close"  # the body, if any, is left unread
                raise
            raw = await _read_body(receive, length)
            if self.latency:
                await anyio.sleep(self.latency)
            if self._limiter is None:
                self._limiter = anyio.CapacityLimiter(self.threads)
            status, data, headers = await anyio.to_thread.run_sync(serve, self.engine, method, raw_path, parts,
                                                                   query, raw, Headers(scope=scope).get("if-match"),
                                                                   limiter=self._limiter)
        except _Gone:
            return
        except Reply as r:
            status, data, headers = r.status, json.dumps({"detail": r.detail}).encode(), r.headers
        out = [(b"content-type", b"application/json"), (b"content-length", str(len(data)).encode()),
               *((k.lower().encode(), v.encode()) for k, v in headers.items())]
        await send({"type": "http.response.start", "status": status, "headers": out})
        await send({"type": "http.response.body", "body": data})


async def _read_body(receive: Receive, length: int) -> bytes:
    """The body: exactly `length` bytes, as the HTTP stack frames it."""
    raw = bytearray()
    more = True
    while more:
        message = await receive()
        if message["type"] == "http.disconnect":
            raise _Gone()
        raw += message.get("body", b"")
        more = message.get("more_body", False)
        if len(raw) > length:
            raise Reply(400, "the body is longer than its Content-Length", {"Connection": "close"})
    return bytes(raw)
