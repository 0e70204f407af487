"""What every HTTP listener of ours does before a request reaches its
application: where it binds, which Host and Origin headers it accepts, the
bearer token it reads from a file, and the uvicorn server it runs on."""

from __future__ import annotations

import ipaddress
import socket
import sys
from collections.abc import Sequence
from pathlib import Path

import anyio
import uvicorn
from mcp.server.transport_security import TransportSecuritySettings
from starlette.types import ASGIApp

LOOPBACK_HOSTS = ("127.0.0.1", "localhost", "[::1]")


def is_loopback(host: str) -> bool:
    if host.strip("[]") == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


def security_settings(bind: str, allow_hosts: Sequence[str] = (),
                      allow_origins: Sequence[str] = ()) -> TransportSecuritySettings:
    """The Host and Origin headers a request may carry (DNS-rebinding
    protection): the loopback names, the address bound (unless a wildcard)
    and the names given, each with any port; origins of those hosts over
    http and https, and the origins given."""
    names = list(LOOPBACK_HOSTS)
    bound = f"[{bind}]" if ":" in bind and not bind.startswith("[") else bind
    if bound not in ("0.0.0.0", "[::]", *names):
        names.append(bound)
    names += [h for h in allow_hosts if h not in names]
    hosts = [*names, *(f"{h}:*" for h in names)]
    origins = [f"{scheme}://{h}{port}" for h in names for scheme in ("http", "https") for port in ("", ":*")]
    return TransportSecuritySettings(enable_dns_rebinding_protection=True, allowed_hosts=hosts,
                                     allowed_origins=[*origins, *allow_origins])



class _Uvicorn(uvicorn.Server):
    """uvicorn, saying on stderr where it serves once it accepts requests."""

    async def startup(self, sockets: list[socket.socket] | None = None) -> None:
        await super().startup(sockets)
        if self.started and sockets:
            host, port = sockets[0].getsockname()[:2]
            host = f"[{host}]" if ":" in host else host
            print(f"kelvo-mcp: serving MCP over streamable HTTP at http://{host}:{port}/mcp",
                  file=sys.stderr, flush=True)


def serve_http(app: ASGIApp, sock: socket.socket, *, shutdown_seconds: float = 2) -> None:
    server = _Uvicorn(uvicorn.Config(app, log_level="warning", lifespan="on",
                                     timeout_graceful_shutdown=shutdown_seconds))
    anyio.run(server.serve, [sock])


def bind_socket(address: str) -> socket.socket:
    """A listening socket for HOST:PORT, or PORT on 127.0.0.1 (port 0: any free port)."""
    host, _, port = address.rpartition(":")
    if not port.isdigit() or int(port) > 65535:
        raise ValueError(f"--http wants HOST:PORT or PORT, not {address!r}")
    host = host.strip("[]") or "127.0.0.1"
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
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


