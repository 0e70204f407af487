"""The embedded engine behind a real HTTP boundary.

    python -m kelvo_mcp.engine --store canvas.db --listen 127.0.0.1:8470
    python -m kelvo_mcp.engine --store canvas.db --listen 127.0.0.1:0 --latency-ms 2
    python -m kelvo_mcp.engine --listen 127.0.0.1:0 --canvas my.json     # in memory, gone at exit
    python -m kelvo_mcp.engine --store canvas.db --approve deploy-steps   # the user approves a doc

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
    GET    /canvases/{canvas}/pages/{page_id}       get_page
    PATCH  /canvases/{canvas}/pages/{page_id}       rename_page   {"title"}
    DELETE /canvases/{canvas}/pages/{page_id}       delete_page
    POST   /canvases/{canvas}/pages/{id}/blocks     append_blocks {"blocks"}
    PUT    /canvases/{canvas}/pages/{id}/blocks     write_blocks  {"blocks"}
    PATCH  /canvases/{canvas}/pages/{id}/blocks     update_blocks {"updates"}
    PUT    /canvases/{canvas}/docs/{name}           save_doc      {"blocks", "kind"?}
    POST   /canvases/{canvas}/learnings             append_learning {"blocks"}
    PUT    /canvases/{canvas}/pages/{id}/approval   approve       {"state"}: the user's act, admin token only
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

uvicorn serves it; engine calls run on worker threads (at most
`ENGINE_THREADS` at once), the engine serialising what must be serialised (a
store transaction per call).
"""

from __future__ import annotations

import hmac
import json
import logging
import urllib.parse
from typing import Any

import anyio
import httpx
from starlette.datastructures import Headers
from starlette.types import Receive, Scope, Send

from kelvo_mcp.access_log import SCOPE_KEY, note
from kelvo_mcp.engine.api import APPROVALS, PageNotFound
from kelvo_mcp.engine.embedded import EmbeddedEngine
from kelvo_mcp.listen import header_allowed

API_PREFIX = "/v1"
BODY_MAX = 16 * 1024 * 1024
ENGINE_THREADS = 16
_BODY_METHODS = ("POST", "PUT", "PATCH")

log = logging.getLogger("kelvo_mcp.engine")


class _Reply(Exception):
    """A reply other than 200 worked out while routing: status, detail, headers."""

    def __init__(self, status: int, detail: Any, headers: dict[str, str] | None = None) -> None:
        super().__init__(status, detail)
        self.status, self.detail, self.headers = status, detail, headers or {}


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
            raise _Reply(421, "the Host header names no host this engine serves")
        origins = headers.getlist("origin")
        if origins and (len(origins) > 1 or not header_allowed(origins[0], self.origins)):
            raise _Reply(403, "requests from this Origin are not taken")
        given = self._bearer(headers)
        if _is_approval(parts):
            if self.admin_token is None:
                raise _Reply(403, "this engine takes no approvals over HTTP; the user approves a doc with "
                                  "python -m kelvo_mcp.engine --store FILE --approve NAME")
            if not _same(given, self.admin_token):
                raise _Reply(403, "approving a doc takes the admin token; an agent's token never approves")
        elif self.token is not None and not (_same(given, self.token) or _same(given, self.admin_token)):
            raise _Reply(401, "a bearer token is required", {"WWW-Authenticate": 'Bearer realm="kelvo-engine"'})
        return self._length(method, headers)

    def _length(self, method: str, headers: Headers) -> int:
        lengths = headers.getlist("content-length")
        if "transfer-encoding" in headers:
            raise _Reply(411, "chunked bodies are not taken: send the body with a Content-Length")
        if method not in _BODY_METHODS:
            if any(v.strip() != "0" for v in lengths):
                raise _Reply(400, f"a {method} request carries no body")
            return 0
        if not lengths:
            raise _Reply(411, "a body needs a Content-Length")
        if len(set(lengths)) != 1 or not lengths[0].strip().isdigit():
            raise _Reply(400, "the Content-Length is not a whole number of bytes")
        length = int(lengths[0])
        if length > self.body_max:
            raise _Reply(413, f"the body is larger than {self.body_max} bytes")
        media = headers.get("content-type", "").partition(";")[0].strip().lower()
        if length and media != "application/json":
            raise _Reply(415, "the body must be sent as application/json")
        return length

    @staticmethod
    def _bearer(headers: Headers) -> str | None:
        scheme, _, given = headers.get("authorization", "").partition(" ")
        return given.strip() if scheme.lower() == "bearer" else None


def _same(given: str | None, token: str | None) -> bool:
    return given is not None and token is not None and hmac.compare_digest(given.encode(), token.encode())


class EngineApp:
    """The ASGI application: the gate, the body read, then `route` on a
    worker thread; `latency` seconds are spent before each request is served."""

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
        headers: dict[str, str] = {}
        if SCOPE_KEY in scope:
            note(scope, principal=self.gate.principal(Headers(scope=scope)), call=f"{method}:{route_shape(parts)}")
        try:
            try:
                length = self.gate.check(method, parts, Headers(scope=scope))
            except _Reply as r:
                r.headers["Connection"] = "close"  # the body, if any, is left unread
                raise
            body = await _read_json(receive, length)
            if self.latency:
                await anyio.sleep(self.latency)
            if self._limiter is None:
                self._limiter = anyio.CapacityLimiter(self.threads)
            reply = await anyio.to_thread.run_sync(route, self.engine, method, parts, query, body,
                                                   limiter=self._limiter)
            status = 200
        except _Gone:
            return
        except _Reply as r:
            status, reply, headers = r.status, {"detail": r.detail}, r.headers
        except httpx.HTTPStatusError as exc:
            resp = exc.response
            status = resp.status_code
            try:
                reply = resp.json()
            except ValueError:
                reply = {"detail": resp.text}
            if resp.headers.get("X-Kelvo-Error"):
                headers["X-Kelvo-Error"] = resp.headers["X-Kelvo-Error"]
        except httpx.TimeoutException:
            status, reply = 504, {"detail": "the engine timed out while serving the request"}
        except Exception:
            log.exception("%s %s failed", method, raw_path)
            status, reply = 500, {"detail": "internal error while serving the request"}
        data = json.dumps(reply).encode()
        out = [(b"content-type", b"application/json"), (b"content-length", str(len(data)).encode()),
               *((k.lower().encode(), v.encode()) for k, v in headers.items())]
        await send({"type": "http.response.start", "status": status, "headers": out})
        await send({"type": "http.response.body", "body": data})


async def _read_json(receive: Receive, length: int) -> Any:
    """The body (exactly `length` bytes, as the HTTP stack frames it) as JSON."""
    raw = bytearray()
    more = True
    while more:
        message = await receive()
        if message["type"] == "http.disconnect":
            raise _Gone()
        raw += message.get("body", b"")
        more = message.get("more_body", False)
        if len(raw) > length:
            raise _Reply(400, "the body is longer than its Content-Length", {"Connection": "close"})
    if not raw:
        return None
    try:
        return json.loads(raw)
    except (ValueError, UnicodeDecodeError):
        raise _Reply(400, "the request body is not JSON") from None


def _field(body: Any, name: str, kind: type, *, required: bool = True) -> Any:
    if not isinstance(body, dict):
        raise _Reply(422, [{"loc": ["body"], "msg": "the body must be a JSON object"}])
    if name not in body or body[name] is None:
        if required:
            raise _Reply(422, [{"loc": ["body", name], "msg": "field required"}])
        return None
    value = body[name]
    if not isinstance(value, kind) or (isinstance(value, list) and not all(isinstance(b, dict) for b in value)):
        what = "a list of objects" if kind is list else "a string"
        raise _Reply(422, [{"loc": ["body", name], "msg": f"must be {what}"}])
    return value


def route(engine: EmbeddedEngine, method: str, parts: list[str] | None, query: str, body: Any) -> Any:
    """One request on `engine`, its path in `parts` as the gate read them:
    the reply body, or the engine's error."""
    if parts is None:
        raise _Reply(404, "Not Found")
    if parts == ["canvases"] and method == "GET":
        return engine.list_canvases()
    if len(parts) < 3 or parts[0] != "canvases":
        raise _Reply(404, "Not Found")
    canvas, rest = parts[1], parts[2:]
    engine.check_canvas(canvas)
    params = urllib.parse.parse_qs(query)
    match rest, method:
        case ["whoami"], "GET":
            return engine.whoami()
        case ["resolve"], "GET":
            return {"canvas_id": f"cv_{engine.canvas}", "name": engine.canvas}
        case ["canvases"], "GET":
            return engine.list_canvases()
        case ["pages"], "GET":
            limit = params.get("limit", ["50"])[-1]
            if not limit.isdigit():
                raise _Reply(422, [{"loc": ["query", "limit"], "msg": "must be a whole number"}])
            return engine.list_pages(limit=int(limit), cursor=params.get("cursor", [None])[-1])
        case ["pages"], "POST":
            return engine.create_page(_field(body, "title", str), _field(body, "blocks", list),
                                      _field(body, "icon", str, required=False))
        case ["pages", page_id], "GET":
            return engine.get_page(page_id)
        case ["pages", page_id], "PATCH":
            return engine.rename_page(page_id, _field(body, "title", str))
        case ["pages", page_id], "DELETE":
            return engine.delete_page(page_id)
        case ["pages", page_id, "blocks"], "POST":
            return engine.append_blocks(page_id, _field(body, "blocks", list))
        case ["pages", page_id, "blocks"], "PUT":
            return engine.write_blocks(page_id, _field(body, "blocks", list))
        case ["pages", page_id, "blocks"], "PATCH":
            return engine.update_blocks(page_id, _field(body, "updates", list))
        case ["docs", name], "PUT":
            return engine.save_doc(name, _field(body, "blocks", list), _field(body, "kind", str, required=False))
        case ["learnings"], "POST":
            return engine.append_learning(_field(body, "blocks", list))
        case ["pages", page_id, "approval"], "PUT":
            state = _field(body, "state", str, required=False)
            if state is not None and state not in APPROVALS:
                raise _Reply(422, [{"loc": ["body", "state"], "msg": f"must be one of {', '.join(APPROVALS)} or null"}])
            try:
                engine.approve(page_id, state)
            except PageNotFound:
                raise _Reply(404, "Not Found") from None
            return {"page_id": page_id, "approval": state}
        case [call], _ if call not in ("whoami", "resolve", "canvases", "pages", "learnings"):
            engine.refuse(call, method)
    raise _Reply(404, "Not Found")
