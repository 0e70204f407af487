"""The embedded engine behind a real HTTP boundary.

    python -m kelvo_mcp.engine --store canvas.db --listen 127.0.0.1:8470
    python -m kelvo_mcp.engine --store canvas.db --listen 127.0.0.1:0 --latency-ms 2
    python -m kelvo_mcp.engine --listen 127.0.0.1:0 --canvas my.json     # in memory, gone at exit

When it is ready it prints one line, "kelvo engine serving <what> at
<url>", the URL with the port actually bound (port 0 picks a free one);
`kelvo_mcp.engine.client.HttpEngine(url)` talks to it. Several engine
processes may serve the same store file.

Routes, under /v1, JSON in and out (`page_id` and `canvas` percent-encoded):

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
    PUT    /canvases/{canvas}/pages/{id}/approval   approve       {"state"}: what the user does in the app
    any    /canvases/{canvas}/{call}                the engine's 501 for a call it does not serve

An error is the engine's own status with a JSON body {"detail": ...} (a
string, or a list of {"loc", "msg"} items for a body that fails
validation), and the header X-Kelvo-Error where the engine sets one: a
canvas other than the one served is 404 with X-Kelvo-Error:
canvas_not_found. A time-out injected with `fail_next` comes back as 504.

The stdlib's threading server: one thread per connection, HTTP/1.1 keep-alive,
so a client's pooled connections are reused; the engine serialises what must
be serialised (a store transaction per call).
"""

from __future__ import annotations

import argparse
import json
import logging
import signal
import sys
import time
import urllib.parse
from collections.abc import Sequence
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any

import httpx

from kelvo_mcp.engine.api import APPROVALS, CanvasError, PageNotFound
from kelvo_mcp.engine.canvas import SAMPLE_CANVAS, load_canvas, open_store_engine, seed_engine
from kelvo_mcp.engine.embedded import EmbeddedEngine

API_PREFIX = "/v1"
_BODY_MAX = 16 * 1024 * 1024

log = logging.getLogger("kelvo_mcp.engine")


class _Reply(Exception):
    """A reply other than 200 worked out while routing: status, detail, headers."""

    def __init__(self, status: int, detail: Any, headers: dict[str, str] | None = None) -> None:
        super().__init__(status, detail)
        self.status, self.detail, self.headers = status, detail, headers or {}


class EngineHTTPServer(ThreadingHTTPServer):
    """An HTTP server for one engine; `latency` seconds are spent before
    each request is served."""

    daemon_threads = True
    block_on_close = False
    request_queue_size = 128

    def __init__(self, address: tuple[str, int], engine: EmbeddedEngine, latency: float = 0.0) -> None:
        self.engine = engine
        self.latency = latency
        super().__init__(address, _Handler)

    def handle_error(self, request: Any, client_address: Any) -> None:
        # A client that went away mid-reply is the client's matter, not a fault here.
        if isinstance(sys.exc_info()[1], ConnectionError):
            return
        super().handle_error(request, client_address)

    @property
    def url(self) -> str:
        host, port = self.server_address[:2]
        host = str(host)
        return f"http://{f'[{host}]' if ':' in host else host}:{port}{API_PREFIX}"


class _Handler(BaseHTTPRequestHandler):
    server: EngineHTTPServer
    protocol_version = "HTTP/1.1"
    server_version = "kelvo-engine/0.1"
    # A reply goes out in one write (the buffered wfile is flushed after each
    # request) with Nagle off: headers and body written apart would wait out
    # the client's delayed ACK, some 40 ms a request.
    wbufsize = 64 * 1024
    disable_nagle_algorithm = True

    def do_GET(self) -> None:
        self._serve("GET")

    def do_POST(self) -> None:
        self._serve("POST")

    def do_PUT(self) -> None:
        self._serve("PUT")

    def do_PATCH(self) -> None:
        self._serve("PATCH")

    def do_DELETE(self) -> None:
        self._serve("DELETE")

    def log_message(self, format: str, *args: Any) -> None:
        log.debug("%s %s", self.address_string(), format % args)

    def _serve(self, method: str) -> None:
        try:
            body = self._body()
            if self.server.latency:
                time.sleep(self.server.latency)
            status, reply, headers = 200, route(self.server.engine, method, self.path, body), {}
        except _Reply as r:
            status, reply, headers = r.status, {"detail": r.detail}, r.headers
        except httpx.HTTPStatusError as exc:
            resp = exc.response
            status, headers = resp.status_code, {}
            try:
                reply = resp.json()
            except ValueError:
                reply = {"detail": resp.text}
            if resp.headers.get("X-Kelvo-Error"):
                headers["X-Kelvo-Error"] = resp.headers["X-Kelvo-Error"]
        except httpx.TimeoutException:
            status, reply, headers = 504, {"detail": "the engine timed out while serving the request"}, {}
        except Exception:
            log.exception("%s %s failed", method, self.path)
            status, reply, headers = 500, {"detail": "internal error while serving the request"}, {}
        data = json.dumps(reply).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        for name, value in headers.items():
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(data)

    def _body(self) -> Any:
        length = int(self.headers.get("Content-Length") or 0)
        if length > _BODY_MAX:
            self.close_connection = True
            raise _Reply(413, f"the body is larger than {_BODY_MAX} bytes")
        raw = self.rfile.read(length) if length else b""
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


def route(engine: EmbeddedEngine, method: str, target: str, body: Any) -> Any:
    """One request on `engine`: the reply body, or the engine's error."""
    split = urllib.parse.urlsplit(target)
    path = split.path
    if path != API_PREFIX and not path.startswith(API_PREFIX + "/"):
        raise _Reply(404, "Not Found")
    parts = [urllib.parse.unquote(p) for p in path[len(API_PREFIX):].split("/")[1:]]
    if parts and parts[-1] == "":
        parts.pop()
    if parts == ["canvases"] and method == "GET":
        return engine.list_canvases()
    if len(parts) < 3 or parts[0] != "canvases":
        raise _Reply(404, "Not Found")
    canvas, rest = parts[1], parts[2:]
    engine.check_canvas(canvas)
    query = urllib.parse.parse_qs(split.query)
    match rest, method:
        case ["whoami"], "GET":
            return engine.whoami()
        case ["resolve"], "GET":
            return {"canvas_id": f"cv_{engine.canvas}", "name": engine.canvas}
        case ["canvases"], "GET":
            return engine.list_canvases()
        case ["pages"], "GET":
            limit = query.get("limit", ["50"])[-1]
            if not limit.isdigit():
                raise _Reply(422, [{"loc": ["query", "limit"], "msg": "must be a whole number"}])
            return engine.list_pages(limit=int(limit), cursor=query.get("cursor", [None])[-1])
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
        case ["pages", page_id, "approval"], "PUT":
            state = _field(body, "state", str, required=False)
            if state is not None and state not in APPROVALS:
                raise _Reply(422, [{"loc": ["body", "state"], "msg": f"must be one of {', '.join(APPROVALS)} or null"}])
            try:
                engine.approve(page_id, state)
            except PageNotFound:
                raise _Reply(404, "Not Found") from None
            return {"page_id": page_id, "approval": state}
        case [call], _ if call not in ("whoami", "resolve", "canvases", "pages"):
            engine.refuse(call, method)
    raise _Reply(404, "Not Found")


def _address(text: str) -> tuple[str, int]:
    host, sep, port = text.rpartition(":")
    if not sep or not port.isdigit() or int(port) > 65535:
        raise argparse.ArgumentTypeError(f"{text!r} is not HOST:PORT")
    return host.strip("[]") or "127.0.0.1", int(port)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m kelvo_mcp.engine",
                                     description="Serve the embedded Kelvo engine over HTTP.")
    parser.add_argument("--store", type=Path, metavar="FILE",
                        help="keep the canvas in this SQLite store, shared with other engines "
                             "(default: in memory, gone at exit)")
    parser.add_argument("--listen", type=_address, default=("127.0.0.1", 0), metavar="HOST:PORT",
                        help="where to listen (default 127.0.0.1:0, a free port)")
    parser.add_argument("--latency-ms", type=float, default=0.0, metavar="N",
                        help="spend N ms before serving each request")
    parser.add_argument("--canvas", type=Path, metavar="FILE",
                        help="the canvas file that fills a new store or the in-memory canvas "
                             "(default: the built-in sample)")
    parser.add_argument("--state", type=Path, metavar="FILE",
                        help="a JSON state file of the reference server, taken into a new store once")
    parser.add_argument("-v", "--verbose", action="store_true", help="log every request on stderr")
    ns = parser.parse_args(argv)
    logging.basicConfig(stream=sys.stderr, level=logging.DEBUG if ns.verbose else logging.WARNING)
    try:
        if ns.store is not None:
            engine = open_store_engine(ns.store, canvas=ns.canvas, state=ns.state)
            what = f"store {ns.store}"
        else:
            if ns.state is not None:
                parser.error("--state is taken into a store: give --store too")
            engine = seed_engine(load_canvas(ns.canvas or SAMPLE_CANVAS))
            what = "an in-memory canvas"
    except CanvasError as e:
        parser.error(str(e))  # exits with status 2
    try:
        httpd = EngineHTTPServer(ns.listen, engine, max(ns.latency_ms, 0.0) / 1000)
    except OSError as e:
        engine.close()
        parser.error(f"cannot listen on {ns.listen[0]}:{ns.listen[1]}: {e.strerror or e}")
    # SIGTERM stops the server like ^C: requests in flight are cut off, and a
    # write that was not acknowledged may or may not have been committed.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    print(f"kelvo engine serving {what} at {httpd.url}", flush=True)
    try:
        httpd.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        httpd.server_close()
        engine.close()
    return 0
