"""What every HTTP listener of ours does before a request reaches its
application: where it binds, which Host and Origin headers it accepts, the
bearer token it reads from a file, and the uvicorn server it runs on, with
read deadlines uvicorn does not keep by itself.

uvicorn arms no timer of its own until a connection's first reply is sent: a
client that connects and trickles its request line, or its body, holds the
connection (and a slot of the concurrency limit) for as long as it likes.
Here every connection has a deadline to the end of its request headers,
counted from the accept (and, on a kept-alive connection, from the end of the
previous reply), then one to the end of the body; a request past either is
answered 408 and the connection closed.

uvicorn's own connection bound (`limit_concurrency`) counts every open
socket, so connections that send nothing fill it before any credential is
read. Here a connection counts toward `max_connections` only while it
carries a request, from its headers on; before its first request and
between requests it is one of the arriving connections, which have a cap of
their own (the oldest is closed to make room). A request
header block over HEADER_LIMIT bytes is answered 431, writing is shut and
what the client still sends is read and dropped for up to DRAIN_SECONDS, so
that the client reads the 431 rather than a reset."""

from __future__ import annotations

import asyncio
import ipaddress
import json
import socket
import sys
from collections import OrderedDict
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import TYPE_CHECKING

import anyio
import h11
import uvicorn
from starlette.types import ASGIApp, Message, Receive, Scope, Send
from uvicorn.protocols.http.flow_control import service_unavailable
from uvicorn.protocols.http.h11_impl import H11Protocol

if TYPE_CHECKING:
    from mcp.server.transport_security import TransportSecuritySettings

LOOPBACK_HOSTS = ("127.0.0.1", "localhost", "[::1]")
HEADER_TIMEOUT = 10.0  # seconds from the accept (or the last reply) to the end of the request headers
BODY_TIMEOUT = 30.0    # seconds from the end of the headers to the end of the body
KEEP_ALIVE = 5.0       # seconds an idle kept-alive connection is held
HEADER_LIMIT = 64 * 1024  # bytes of a request's line and headers; beyond: 431
ARRIVING_CAP = 256        # connections whose first request's headers are not yet in
DRAIN_SECONDS = 1.0       # how long what follows a refused header block is read and dropped
TOO_LARGE = json.dumps({"detail": f"the request headers are larger than {HEADER_LIMIT} bytes"}).encode()


def is_loopback(host: str) -> bool:
    if host.strip("[]") == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


def allowed_headers(bind: str, allow_hosts: Sequence[str] = (),
                    allow_origins: Sequence[str] = ()) -> tuple[list[str], list[str]]:
    """The Host and Origin headers a request may carry (DNS-rebinding
    protection): the loopback names, the address bound (unless a wildcard)
    and the names given, each with any port; origins of those hosts over
    http and https, and the origins given. A trailing ":*" stands for any port."""
    names = list(LOOPBACK_HOSTS)
    bound = f"[{bind}]" if ":" in bind and not bind.startswith("[") else bind
    if bound not in ("0.0.0.0", "[::]", *names):
        names.append(bound)
    names += [h for h in allow_hosts if h not in names]
    hosts = [*names, *(f"{h}:*" for h in names)]
    origins = [f"{scheme}://{h}{port}" for h in names for scheme in ("http", "https") for port in ("", ":*")]
    return hosts, [*origins, *allow_origins]


def header_allowed(value: str, allowed: Sequence[str]) -> bool:
    """`value` is one of `allowed`, or one of its "name:*" entries with a port."""
    if value in allowed:
        return True
    base, sep, port = value.rpartition(":")
    return bool(sep) and port.isdigit() and f"{base}:*" in allowed


def security_settings(bind: str, allow_hosts: Sequence[str] = (),
                      allow_origins: Sequence[str] = ()) -> TransportSecuritySettings:
    """`allowed_headers` as the MCP SDK's transport security settings."""
    from mcp.server.transport_security import TransportSecuritySettings

    hosts, origins = allowed_headers(bind, allow_hosts, allow_origins)
    return TransportSecuritySettings(enable_dns_rebinding_protection=True, allowed_hosts=hosts,
                                     allowed_origins=origins)


def session_stream(scope: Scope, start: Message) -> bool:
    """A handshake-era session's long-lived stream (a GET under a session
    answered with an event stream): bounded by the session limit, so it
    leaves the connection bound."""
    if scope["method"] != "GET" or start["status"] != 200:
        return False
    headers = dict(start.get("headers", []))
    return (b"mcp-session-id" in dict(scope["headers"])
            and headers.get(b"content-type", b"").startswith(b"text/event-stream"))


class Admission:
    """The connections of one server: those arriving (before a request's
    headers, the first or a kept-alive connection's next) under
    `arriving_cap`, the oldest closed to make room; those counted toward
    `max_connections` (None: no bound) while they carry a request.
    `uncounted(scope, start)`: a response that takes its connection out of
    the count while it runs (long-lived streams bounded elsewhere). `shed`
    and `refused` count the connections closed to make room and the requests
    refused 503."""

    def __init__(self, max_connections: int | None, arriving_cap: int = ARRIVING_CAP,
                 uncounted: Callable[[Scope, Message], bool] | None = None) -> None:
        self.max_connections, self.arriving_cap, self.uncounted = max_connections, arriving_cap, uncounted
        self.arriving: OrderedDict[_DeadlineProtocol, None] = OrderedDict()
        self.counted: set[_DeadlineProtocol] = set()
        self.shed = self.refused = 0

    def arrived(self, conn: _DeadlineProtocol) -> None:
        self.arriving[conn] = None
        while len(self.arriving) > self.arriving_cap:
            oldest, _ = self.arriving.popitem(last=False)
            self.shed += 1
            oldest.transport.close()

    def headers_in(self, conn: _DeadlineProtocol) -> None:
        self.arriving.pop(conn, None)

    def admit(self, conn: _DeadlineProtocol) -> bool:
        if conn in self.counted:
            return True
        if self.max_connections is not None and len(self.counted) >= self.max_connections:
            self.refused += 1
            return False
        self.counted.add(conn)
        return True

    def idle(self, conn: _DeadlineProtocol) -> None:
        """A kept-alive connection between requests is arriving again: a
        client that sent one request (a refused one too) holds no place in
        the bound while it sends nothing."""
        self.counted.discard(conn)
        self.arrived(conn)

    def gone(self, conn: _DeadlineProtocol) -> None:
        self.arriving.pop(conn, None)
        self.counted.discard(conn)


class _DeadlineProtocol(H11Protocol):
    """uvicorn's h11 protocol with the read deadlines, the connection
    admission and the header bound of the module docstring."""

    header_timeout = HEADER_TIMEOUT
    body_timeout = BODY_TIMEOUT
    header_limit = HEADER_LIMIT
    admission: Admission
    _deadline: asyncio.TimerHandle | None = None
    _phase = ""
    _draining = False
    _head = 0       # bytes of the current request's header block seen so far
    _tail = b""     # the last bytes seen of it, for a terminator split across reads

    def __init__(self, *args: object, **kwargs: object) -> None:
        super().__init__(*args, **kwargs)  # type: ignore[arg-type]
        self._inner = self.app
        self.app = self._gated

    def _arm(self, phase: str, seconds: float) -> None:
        self._disarm()
        self._phase = phase
        self._deadline = self.loop.call_later(seconds, self._expired)

    def _disarm(self) -> None:
        if self._deadline is not None:
            self._deadline.cancel()
        self._deadline, self._phase = None, ""

    def connection_made(self, transport: asyncio.Transport) -> None:  # type: ignore[override]
        super().connection_made(transport)
        self._arm("headers", self.header_timeout)
        self.admission.arrived(self)

    def data_received(self, data: bytes) -> None:
        if self._draining:
            return
        if self.conn.their_state is h11.IDLE and not self._within_header_limit(data):
            self._too_large()
            return
        super().data_received(data)

    def _within_header_limit(self, data: bytes) -> bool:
        """Counts the header block's bytes as they arrive: h11 bounds only a
        block still incomplete in its buffer, and takes a large one that
        arrives at once whole."""
        at = (self._tail + data[:3]).find(b"\r\n\r\n")
        if at >= 0:
            self._head += at + 4 - len(self._tail)
        else:
            at = data.find(b"\r\n\r\n")
            self._head += at + 4 if at >= 0 else len(data)
            self._tail = (self._tail + data[-3:])[-3:] if at < 0 else b""
        return self._head <= self.header_limit

    def _too_large(self) -> None:
        """431, writing shut, the rest read and dropped for DRAIN_SECONDS, then closed."""
        self._disarm()
        self._draining = True
        self.admission.gone(self)
        self.transport.write(b"HTTP/1.1 431 Request Header Fields Too Large\r\nconnection: close\r\n"
                             b"content-type: application/json\r\ncontent-length: %d\r\n\r\n%s"
                             % (len(TOO_LARGE), TOO_LARGE))
        if self.transport.can_write_eof():
            self.transport.write_eof()
        self.loop.call_later(DRAIN_SECONDS, self.transport.close)

    def eof_received(self) -> None:
        if self._draining:
            self.transport.close()

    async def _gated(self, scope: Scope, receive: Receive, send: Send) -> None:
        # A block that arrived behind another request on this connection was
        # not counted as it came in: its size is read from what h11 parsed.
        size = len(scope["raw_path"]) + len(scope["query_string"])
        size += sum(len(k) + len(v) + 4 for k, v in scope["headers"])
        if size > self.header_limit:
            await send({"type": "http.response.start", "status": 431,
                        "headers": [(b"content-type", b"application/json"), (b"connection", b"close")]})
            await send({"type": "http.response.body", "body": TOO_LARGE})
            return
        if not self.admission.admit(self):
            await service_unavailable(scope, receive, send)  # type: ignore[arg-type]
            return
        uncounted = self.admission.uncounted
        if uncounted is None:
            await self._inner(scope, receive, send)
            return

        async def watch(message: Message) -> None:
            if message["type"] == "http.response.start" and uncounted(scope, message):
                self.admission.gone(self)
            await send(message)

        await self._inner(scope, receive, watch)

    def handle_events(self) -> None:
        super().handle_events()
        state = self.conn.their_state
        if state is not h11.IDLE:
            self._head, self._tail = 0, b""
            self.admission.headers_in(self)
        if state is h11.SEND_BODY:
            if self._phase != "body":
                self._arm("body", self.body_timeout)
        elif state is not h11.IDLE:
            self._disarm()

    def on_response_complete(self) -> None:
        if not self.transport.is_closing():
            self._arm("headers", self.header_timeout)  # the next request on this connection
            self.admission.idle(self)
        super().on_response_complete()

    def connection_lost(self, exc: Exception | None) -> None:
        self._disarm()
        self.admission.gone(self)
        super().connection_lost(exc)

    def _expired(self) -> None:
        self._deadline = None
        if self.transport.is_closing():
            return
        if self.cycle is None or self.cycle.response_complete or not self.cycle.response_started:
            self.transport.write(b"HTTP/1.1 408 Request Timeout\r\nconnection: close\r\ncontent-length: 0\r\n\r\n")
        self.transport.close()


def _announce_mcp(host: str, port: int) -> None:
    print(f"kelvo-mcp: serving MCP over streamable HTTP at http://{host}:{port}/mcp", file=sys.stderr, flush=True)


class _Uvicorn(uvicorn.Server):
    """uvicorn, saying where it serves once it accepts requests."""

    announce: Callable[[str, int], None] | None = None

    async def startup(self, sockets: list[socket.socket] | None = None) -> None:
        await super().startup(sockets)
        if self.started and sockets and self.announce is not None:
            host, port = sockets[0].getsockname()[:2]
            self.announce(f"[{host}]" if ":" in host else host, port)


def uvicorn_server(app: ASGIApp, *, header_timeout: float = HEADER_TIMEOUT, body_timeout: float = BODY_TIMEOUT,
                   keep_alive: float = KEEP_ALIVE, max_connections: int | None = None,
                   arriving_cap: int = ARRIVING_CAP, uncounted: Callable[[Scope, Message], bool] | None = None,
                   lifespan: str = "on", shutdown_seconds: float = 2,
                   announce: Callable[[str, int], None] | None = _announce_mcp) -> uvicorn.Server:
    """The uvicorn server every listener of ours runs: h11 with the read
    deadlines, `keep_alive` seconds for an idle connection, beyond
    `max_connections` connections that carry a request a 503 for each
    request (`Admission`, with `arriving_cap` and `uncounted`), a 431 for a
    header block over HEADER_LIMIT, and `shutdown_seconds` for requests in
    flight to finish at shutdown."""
    protocol = type("DeadlineProtocol", (_DeadlineProtocol,),
                    {"header_timeout": header_timeout, "body_timeout": body_timeout,
                     "admission": Admission(max_connections, arriving_cap, uncounted)})
    config = uvicorn.Config(app, http=protocol, log_level="warning", lifespan=lifespan,  # type: ignore[arg-type]
                            timeout_keep_alive=keep_alive,  # type: ignore[arg-type]
                            timeout_graceful_shutdown=shutdown_seconds,  # type: ignore[arg-type]
                            h11_max_incomplete_event_size=HEADER_LIMIT)
    server = _Uvicorn(config)
    server.admission = protocol.admission  # type: ignore[attr-defined]
    server.announce = announce
    return server


def serve_http(app: ASGIApp, sock: socket.socket, **options: object) -> None:
    """Serve `app` on the listening socket until SIGINT or SIGTERM; the
    options are `uvicorn_server`'s."""
    anyio.run(uvicorn_server(app, **options).serve, [sock])  # type: ignore[arg-type]


def bind_socket(address: str) -> socket.socket:
    """A listening socket for HOST:PORT, or PORT on 127.0.0.1 (port 0: any free port)."""
    host, _, port = address.rpartition(":")
    if not port.isdigit() or int(port) > 65535:
        raise ValueError(f"--http wants HOST:PORT or PORT, not {address!r}")
    host = host.strip("[]") or "127.0.0.1"
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    # Replies leave as soon as they are written. Without it, a reply written
    # as headers and then body waits for the client's delayed ACK of the
    # headers before the body goes: 40 ms a call on Linux. asyncio turns Nagle
    # off only on sockets it made; connections accepted here inherit this.
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    try:
        sock.bind((host, int(port)))
    except OSError as e:
        sock.close()
        raise ValueError(f"cannot listen on {address}: {e.strerror or e}") from None
    sock.listen(2048)
    return sock


def read_token(path: Path) -> str:
    try:
        token = path.read_text(encoding="utf-8").strip()
    except (OSError, UnicodeDecodeError) as e:
        raise ValueError(f"cannot read token file {path}: {getattr(e, 'strerror', None) or e}") from None
    if not token or any(c.isspace() for c in token):
        raise ValueError(f"token file {path} must hold one token: a single line without spaces")
    return token
