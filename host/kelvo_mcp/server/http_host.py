"""The reference server over streamable HTTP: the ASGI application a
request passes through, in order.

    /healthz   liveness: 200 to a GET, from anyone, touching nothing
    /readyz    readiness: whether the engine (or the store) answers, the
               answer reused for a second
    /mcp       with a token file or OAuth, the SDK's bearer authentication
               (401; with OAuth, 403 for a token without a scope of ours),
               then each principal's share of the sessions (429), then an
               initialize naming an invalid agent id refused (no session
               made), then the SDK's session manager (bounded bodies,
               sessions and idle time)
    /.well-known/oauth-protected-resource[/path]
               with OAuth, the resource's metadata, to a GET from anyone

The Host and Origin checks (421, 403) come first for every path but the two
health routes, so no answer, a redirect of "/mcp/" or a 404 among them, is
written for a Host the server does not serve. A refused request opens no
session and runs nothing. With an access log, every request is written to it
as its response ends.
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
from kelvo_mcp.server.agent_ids import InitializeCheck
from kelvo_mcp.server.mcp_adapter import make_http_server, principal
from kelvo_mcp.server.oauth import ResourceServer
from kelvo_mcp.server.sessions import SessionHost
from kelvo_mcp.server.session_ledger import SessionLedger
from kelvo_mcp.server.tokens import TokenFile


HEALTH_PATHS = ("/healthz", "/readyz")


class HostCheck:
    """The Host and Origin headers against the allow-list (DNS-rebinding
    protection), before anything else sees the request; the paths in
    `exempt` (the health probes, which read nothing of the canvas) pass."""

    def __init__(self, app: ASGIApp, security: TransportSecuritySettings, exempt: tuple[str, ...] = ()) -> None:
        self.app, self.checks, self.exempt = app, TransportSecurityMiddleware(security), exempt

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        checked = scope["type"] == "http" and scope["path"] not in self.exempt
        refused = await self.checks.validate_request(Request(scope)) if checked else None
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
             oauth: ResourceServer | None = None, access_log: AccessLog | None = None) -> ASGIApp:
    """The ASGI application. `stateless`: the handshake era without sessions
    too (the SDK's stateless HTTP), so that any process can answer any
    request. `reload_on_hup`: SIGHUP reads the token file again (only where
    the server owns the process's signals). `oauth`: accept access tokens
    of its issuers too (its verifier holds the token file, if any). Each
    principal may hold its share (`host.principal_share`) of `max_sessions`."""
    write_scope = oauth.settings.write_scope if oauth is not None else None
    ledger = None if stateless else SessionLedger(
        principal=principal, max_sessions=max_sessions or DEFAULT_MAX_SESSIONS, share=host.principal_share,
        idle_seconds=session_idle_timeout)
    manager = StreamableHTTPSessionManager(
        app=make_http_server(host, sessions=not stateless, write_scope=write_scope,
                             known_session=ledger.is_open if ledger else None),
        security_settings=security, stateless=stateless, max_request_body_size=max_body_bytes,
        session_idle_timeout=None if stateless else session_idle_timeout,
        max_sessions=None if stateless else max_sessions)
    mcp: ASGIApp = InitializeCheck(StreamableHTTPASGIApp(manager), max_body_bytes)
    if ledger is not None:
        ledger.app, mcp = mcp, ledger
    if oauth is not None:
        mcp = oauth.guard(mcp)
    elif tokens is not None:
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
                            *(oauth.routes() if oauth is not None else ()),
                            Route(path, endpoint=mcp)], lifespan=lifespan)
    checked = HostCheck(app, security, exempt=HEALTH_PATHS)
    return checked if access_log is None else AccessLogged(checked, access_log)
