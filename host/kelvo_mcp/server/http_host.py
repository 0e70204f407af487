"""The reference server over streamable HTTP: the security gate, the ASGI
application and the socket it serves on."""

from __future__ import annotations

import contextlib
import hmac
from collections.abc import AsyncIterator

from mcp.server.streamable_http_manager import StreamableHTTPASGIApp, StreamableHTTPSessionManager
from mcp.server.transport_security import TransportSecurityMiddleware, TransportSecuritySettings
from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import JSONResponse
from starlette.routing import Route
from starlette.types import ASGIApp, Receive, Scope, Send

from kelvo_mcp.server.mcp_adapter import make_http_server
from kelvo_mcp.server.sessions import SessionHost


class Gate:
    """Checks a request before anything of the server sees it: the Host and
    Origin headers against the allow-list (421 or 403), then, when a token is
    set, the bearer token (401). A refused request opens no session and runs
    nothing."""

    def __init__(self, app: ASGIApp, security: TransportSecuritySettings, token: str | None) -> None:
        self.app, self.token = app, token
        self.checks = TransportSecurityMiddleware(security)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] == "http":
            request = Request(scope)
            refused = await self.checks.validate_request(request)
            if refused is None and self.token is not None and not self.authorized(request):
                refused = JSONResponse({"error": "invalid_token", "error_description": "a bearer token is required"},
                                       status_code=401, headers={"WWW-Authenticate": 'Bearer realm="kelvo-mcp"'})
            if refused is not None:
                await refused(scope, receive, send)
                return
        await self.app(scope, receive, send)

    def authorized(self, request: Request) -> bool:
        scheme, _, given = request.headers.get("authorization", "").partition(" ")
        assert self.token is not None
        return scheme.lower() == "bearer" and hmac.compare_digest(given.strip().encode(), self.token.encode())


def http_app(host: SessionHost, *, security: TransportSecuritySettings, token: str | None = None,
             path: str = "/mcp") -> ASGIApp:
    """The ASGI application: the gate, then the SDK's session manager at `path`."""
    manager = StreamableHTTPSessionManager(app=make_http_server(host), security_settings=security)

    @contextlib.asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        async with host.run(), manager.run():
            yield

    app = Starlette(routes=[Route(path, endpoint=StreamableHTTPASGIApp(manager))], lifespan=lifespan)
    return Gate(app, security, token)


