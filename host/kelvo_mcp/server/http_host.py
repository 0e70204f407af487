"""The reference server over streamable HTTP: the ASGI application a
request passes through, in order.

    /healthz   liveness: 200 to a GET, from anyone, touching nothing
    /readyz    readiness: whether the engine (or the store) answers, the
               answer reused for a second
    /mcp       the Host and Origin checks (421, 403), then, with a token
               file, the SDK's bearer authentication (401), then each
               principal's share of the sessions (429), then the SDK's
               session manager (bounded bodies, sessions and idle time)

With an access log, every request is written to it as its response ends.

A refused request opens no session and runs nothing.
"""

from __future__ import annotations

import asyncio
import contextlib
import signal
from collections.abc import AsyncIterator

from mcp.server.auth.middleware.auth_context import AuthContextMiddleware
from mcp.server.auth.middleware.bearer_auth import BearerAuthBackend, RequireAuthMiddleware
from mcp.server.streamable_http_manager import (DEFAULT_MAX_REQUEST_BODY_SIZE, DEFAULT_MAX_SESSIONS,
                                                DEFAULT_SESSION_IDLE_TIMEOUT, StreamableHTTPASGIApp,
                                                StreamableHTTPSessionManager)
from mcp.server.transport_security import TransportSecurityMiddleware, TransportSecuritySettings
from starlette.applications import Starlette
from starlette.middleware.authentication import AuthenticationMiddleware
from starlette.requests import Request
from starlette.responses import JSONResponse, Response
from starlette.routing import Route
from starlette.types import ASGIApp, Receive, Scope, Send

from kelvo_mcp.access_log import AccessLog, AccessLogged
from kelvo_mcp.server.mcp_adapter import make_http_server, principal
from kelvo_mcp.server.sessions import SessionHost
from kelvo_mcp.server.session_ledger import SessionLedger
from kelvo_mcp.server.tokens import TokenFile


class HostCheck:
    """The Host and Origin headers against the allow-list (DNS-rebinding
    protection), before anything else sees the request."""

    def __init__(self, app: ASGIApp, security: TransportSecuritySettings) -> None:
        self.app, self.checks = app, TransportSecurityMiddleware(security)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        refused = await self.checks.validate_request(Request(scope)) if scope["type"] == "http" else None
        if refused is not None:
            await refused(scope, receive, send)
            return
        await self.app(scope, receive, send)


async def healthz(request: Request) -> Response:
    """Liveness: the process serves requests. A fixed body, for a GET only."""
    if request.method != "GET":
        return Response(status_code=405, headers={"Allow": "GET"})
    return Response(b"ok\n", media_type="text/plain")


def http_app(host: SessionHost, *, security: TransportSecuritySettings, tokens: TokenFile | None = None,
             path: str = "/mcp", stateless: bool = False, max_sessions: int | None = DEFAULT_MAX_SESSIONS,
             session_idle_timeout: float | None = DEFAULT_SESSION_IDLE_TIMEOUT,
             max_body_bytes: int = DEFAULT_MAX_REQUEST_BODY_SIZE, reload_on_hup: bool = False,
             access_log: AccessLog | None = None) -> ASGIApp:
    """The ASGI application. `stateless`: the handshake era without sessions
    too (the SDK's stateless HTTP), so that any process can answer any
    request. `reload_on_hup`: SIGHUP reads the token file again (only where
    the server owns the process's signals). Each principal may hold its
    share (`host.principal_share`) of `max_sessions`."""
    ledger = None if stateless else SessionLedger(
        principal=principal, max_sessions=max_sessions or DEFAULT_MAX_SESSIONS, share=host.principal_share,
        idle_seconds=session_idle_timeout)
    manager = StreamableHTTPSessionManager(
        app=make_http_server(host, sessions=not stateless, known_session=ledger.is_open if ledger else None),
        security_settings=security, stateless=stateless,
        max_request_body_size=max_body_bytes, session_idle_timeout=None if stateless else session_idle_timeout,
        max_sessions=None if stateless else max_sessions)
    mcp: ASGIApp = StreamableHTTPASGIApp(manager)
    if ledger is not None:
        ledger.app, mcp = mcp, ledger
    if tokens is not None:
        # The SDK's own bearer chain: the user it authenticates binds each session to its credential.
        mcp = AuthenticationMiddleware(AuthContextMiddleware(RequireAuthMiddleware(mcp, [])),
                                       backend=BearerAuthBackend(tokens))

    async def readyz(request: Request) -> Response:
        ready = await host.ready()
        return JSONResponse({"ready": ready}, status_code=200 if ready else 503)

    @contextlib.asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        if reload_on_hup and tokens is not None:
            asyncio.get_running_loop().add_signal_handler(signal.SIGHUP, tokens.reload)
        async with host.run(), manager.run():
            yield

    app = Starlette(routes=[Route("/healthz", healthz), Route("/readyz", readyz, methods=["GET"]),
                            Route(path, endpoint=HostCheck(mcp, security))], lifespan=lifespan)
    app.state.sessions = ledger
    return app if access_log is None else AccessLogged(app, access_log)
