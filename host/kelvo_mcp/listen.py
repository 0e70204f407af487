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
answered 408 and the connection closed."""

from __future__ import annotations

import asyncio
import ipaddress
import socket
import sys
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import TYPE_CHECKING

import anyio
import h11
import uvicorn
from starlette.types import ASGIApp
from uvicorn.protocols.http.h11_impl import H11Protocol

if TYPE_CHECKING:
    from mcp.server.transport_security import TransportSecuritySettings

LOOPBACK_HOSTS = ("127.0.0.1", "localhost", "[::1]")
HEADER_TIMEOUT = 10.0  # seconds from the accept (or the last reply) to the end of the request headers
BODY_TIMEOUT = 30.0    # seconds from the end of the headers to the end of the body
KEEP_ALIVE = 5.0       # seconds an idle kept-alive connection is held


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


class _DeadlineProtocol(H11Protocol):
    """uvicorn's h11 protocol with the read deadlines of the module docstring."""

    header_timeout = HEADER_TIMEOUT
    body_timeout = BODY_TIMEOUT
    _deadline: asyncio.TimerHandle | None = None
    _phase = ""

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

    def handle_events(self) -> None:
        super().handle_events()
        state = self.conn.their_state
        if state is h11.SEND_BODY:
            if self._phase != "body":
                self._arm("body", self.body_timeout)
        elif state is not h11.IDLE:
            self._disarm()

    def on_response_complete(self) -> None:
        if not self.transport.is_closing():
            self._arm("headers", self.header_timeout)  # the next request on this connection
        super().on_response_complete()

    def connection_lost(self, exc: Exception | None) -> None:
        self._disarm()
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
                   keep_alive: float = KEEP_ALIVE, max_connections: int | None = None, lifespan: str = "on",
                   shutdown_seconds: float = 2,
                   announce: Callable[[str, int], None] | None = _announce_mcp) -> uvicorn.Server:
    """The uvicorn server every listener of ours runs: h11 with the read
    deadlines, `keep_alive` seconds for an idle connection, beyond
    `max_connections` open connections a 503 for each request, and
    `shutdown_seconds` for requests in flight to finish at shutdown."""
    protocol = type("DeadlineProtocol", (_DeadlineProtocol,),
                    {"header_timeout": header_timeout, "body_timeout": body_timeout})
    config = uvicorn.Config(app, http=protocol, log_level="warning", lifespan=lifespan,  # type: ignore[arg-type]
                            timeout_keep_alive=keep_alive, limit_concurrency=max_connections,  # type: ignore[arg-type]
                            timeout_graceful_shutdown=shutdown_seconds)
    server = _Uvicorn(config)
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
