"""The server as an OAuth 2.1 resource server, beside the token file.

A client we do not control (a hosted assistant's connector, an IDE) finds
how to reach us from the protected-resource metadata (RFC 9728), served at
`/.well-known/oauth-protected-resource` plus the resource URL's path and at
the root form; obtains an access token for our resource from one of the
authorization servers it names (RFC 8707), and sends it as a bearer token.

A token is accepted when it is a JWT signed by one of the configured
issuers with a key of that issuer (an asymmetric algorithm; `none` and HMAC
never; the `jku`, `x5u` and `jwk` headers are never read, so a token cannot
bring its own key), its `iss` is exactly one of the issuers (no key is ever
fetched for another), its `aud` holds our audience (so a token issued for
another service of the same organisation opens nothing here), `exp` and
`nbf` hold within a minute's leeway, `sub` is present and `typ` is absent,
JWT or at+jwt. The principal is the issuer and the subject together,
`ISSUER#SUBJECT`: an issuer holds no `#` and a token-file name no `:` or
`/`, so it is never a token-file name nor another issuer's subject.

Rights come from the scopes: the read scope gives the read-only surface, the
write scope the full one; a token with neither is refused with 403 and the
scope it needs in the challenge. Token-file tokens keep their names and
hold both rights, and carry our resource too, so both kinds pass one bearer
check (the SDK's, bound to the resource URL).
"""

from __future__ import annotations

import json
import logging
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any
from urllib.parse import urlsplit

import jwt
from mcp.server.auth.handlers.metadata import ProtectedResourceMetadataHandler
from mcp.server.auth.middleware.auth_context import AuthContextMiddleware
from mcp.server.auth.middleware.bearer_auth import AuthenticatedUser, BearerAuthBackend
from mcp.server.auth.provider import AccessToken
from mcp.server.auth.routes import cors_middleware
from mcp.shared.auth import ProtectedResourceMetadata
from pydantic import AnyHttpUrl
from starlette.middleware.authentication import AuthenticationMiddleware
from starlette.routing import Route
from starlette.types import ASGIApp, Receive, Scope, Send

from kelvo_mcp.server.issuer_keys import ALGORITHMS, FETCH_SECONDS, IssuerKeys, check_url, read_key_file
from kelvo_mcp.server.tokens import TokenFile

log = logging.getLogger("kelvo_mcp.server")

READ_SCOPE = "kelvo:read"
WRITE_SCOPE = "kelvo:write"
LEEWAY_SECONDS = 60
# `typ` values of an access token (RFC 9068), compared as media types are: without case.
TOKEN_TYPES = frozenset({"jwt", "at+jwt", "application/at+jwt"})
METADATA_PATH = "/.well-known/oauth-protected-resource"


@dataclass(frozen=True)
class OAuthSettings:
    """What the command line says about OAuth. `jwks`: a key set per issuer
    that has one given (a URL, or a file as a Path)."""

    resource_url: str
    issuers: tuple[str, ...]
    jwks: dict[str, str | Path] = field(default_factory=dict)
    audience: str | None = None
    read_scope: str = READ_SCOPE
    write_scope: str = WRITE_SCOPE

    def check(self) -> None:
        """ValueError, in one line, for settings the server must not start with."""
        check_url(self.resource_url, "--resource-url")
        if urlsplit(self.resource_url).fragment:
            raise ValueError(f"--resource-url {self.resource_url} must not hold a fragment")
        for issuer in self.issuers:
            check_url(issuer, "--oauth-issuer")
            parts = urlsplit(issuer)
            if parts.query or parts.fragment or "#" in issuer:
                raise ValueError(f"--oauth-issuer {issuer} must not hold a query or a fragment")
        if len(set(self.issuers)) < len(self.issuers):
            raise ValueError("--oauth-issuer names one issuer twice")
        for where in self.jwks.values():
            if isinstance(where, str):
                check_url(where, "--oauth-jwks")
            else:
                read_key_file(where)
        if self.audience is not None and not self.audience.strip():
            raise ValueError("--oauth-audience must not be empty")
        for scope in (self.read_scope, self.write_scope):
            if not scope or any(c.isspace() or c in '"\\' for c in scope):
                raise ValueError(f"a scope is one word without quotes, not {scope!r}")
        if self.read_scope == self.write_scope:
            raise ValueError("--oauth-read-scope and --oauth-write-scope must differ")


def parse_jwks_options(values: Sequence[str], issuers: Sequence[str]) -> dict[str, str | Path]:
    """`ISSUER=URL|FILE` options as a key set per issuer. ISSUER is matched
    against the configured issuers, the longest that fits, since an issuer's
    path may itself hold a `=`."""
    found: dict[str, str | Path] = {}
    for value in values:
        issuer = max((i for i in issuers if value.startswith(f"{i}=")), key=len, default=None)
        if issuer is None:
            raise ValueError(f"--oauth-jwks {value}: write ISSUER=URL or ISSUER=FILE, ISSUER one of --oauth-issuer")
        where = value[len(issuer) + 1:]
        if not where:
            raise ValueError(f"--oauth-jwks {value}: name the key set's URL or file")
        if issuer in found:
            raise ValueError(f"--oauth-jwks gives {issuer} two key sets")
        found[issuer] = where if where.startswith(("http://", "https://")) else Path(where)
    return found


def metadata_url(resource_url: str) -> str:
    """Where the resource's metadata is (RFC 9728 section 3.1): the well-known
    path inserted between the host and the resource's path."""
    parts = urlsplit(resource_url)
    path = parts.path if parts.path != "/" else ""
    return f"{parts.scheme}://{parts.netloc}{METADATA_PATH}{path}"


def granted_scopes(claims: dict[str, Any]) -> set[str]:
    """The scopes a token grants: `scope`, space-separated (RFC 9068), or `scp`, a list or a string."""
    granted: set[str] = set()
    for name in ("scope", "scp"):
        value = claims.get(name)
        if isinstance(value, str):
            granted.update(value.split())
        elif isinstance(value, list):
            granted.update(v for v in value if isinstance(v, str))
    return granted


class JwtVerifier:
    """The SDK's `TokenVerifier` for JWT access tokens of the configured issuers."""

    def __init__(self, settings: OAuthSettings, *, clock: Callable[[], float] = time.monotonic,
                 fetch_seconds: float = FETCH_SECONDS) -> None:
        self.settings = settings
        self.audience = settings.audience or settings.resource_url
        self.issuers = {issuer: IssuerKeys(issuer, settings.jwks.get(issuer), clock=clock,
                                           fetch_seconds=fetch_seconds)
                        for issuer in settings.issuers}

    async def verify_token(self, token: str) -> AccessToken | None:
        try:
            return await self._verify(token)
        except (jwt.PyJWTError, ValueError, TypeError) as e:
            log.debug("access token refused: %s", e)
            return None

    async def _verify(self, token: str) -> AccessToken | None:
        header = jwt.get_unverified_header(token)
        alg, typ = header.get("alg"), header.get("typ", "JWT")
        if alg not in ALGORITHMS or not isinstance(typ, str) or typ.lower() not in TOKEN_TYPES:
            return None
        # Read unverified only to know whose keys to verify it with.
        issuer = jwt.decode(token, options={"verify_signature": False}).get("iss")
        keys = self.issuers.get(issuer) if isinstance(issuer, str) else None
        if keys is None:
            return None
        for key in await keys.keys_for(header.get("kid"), alg):
            try:
                claims = jwt.decode(token, key, algorithms=[alg], audience=self.audience, issuer=issuer,
                                    leeway=LEEWAY_SECONDS, options={"require": ["exp", "iss", "aud", "sub"]})
            except jwt.InvalidSignatureError:
                continue  # a key of the same id and type that did not sign it; try the next
            break
        else:
            return None
        subject = claims["sub"]
        if not isinstance(subject, str) or not subject:
            return None
        granted = granted_scopes(claims)
        scopes = [s for s in (self.settings.read_scope, self.settings.write_scope) if s in granted]
        client = claims.get("client_id", claims.get("azp"))
        # The moment we stop honouring it: the SDK's backend compares `expires_at` to the clock without leeway.
        expires = int(claims["exp"]) + LEEWAY_SECONDS
        return AccessToken(token=token, client_id=f"{issuer}#{subject}", scopes=scopes, expires_at=expires,
                           resource=self.settings.resource_url, subject=subject,
                           claims={"iss": issuer, "sub": subject,
                                   "client_id": client if isinstance(client, str) else None})


class ResourceVerifier:
    """One bearer check over both kinds of credential: a token of the token
    file (its name the principal, both rights), else a JWT access token."""

    def __init__(self, jwts: JwtVerifier, tokens: TokenFile | None) -> None:
        self.jwts, self.tokens = jwts, tokens

    async def verify_token(self, token: str) -> AccessToken | None:
        settings = self.jwts.settings
        if self.tokens is not None and (named := await self.tokens.verify_token(token)) is not None:
            return named.model_copy(update={"resource": settings.resource_url,
                                            "scopes": [settings.read_scope, settings.write_scope]})
        return await self.jwts.verify_token(token)


class ScopeGate:
    """The challenges of a resource server: 401 without a valid token,
    naming the metadata and the scopes; 403 `insufficient_scope` for a token
    that grants neither scope, naming the one it needs. Nothing else runs."""

    def __init__(self, app: ASGIApp, settings: OAuthSettings) -> None:
        self.app, self.settings = app, settings
        self.metadata = metadata_url(settings.resource_url)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        user = scope.get("user")
        read, write = self.settings.read_scope, self.settings.write_scope
        if not isinstance(user, AuthenticatedUser):
            presented = any(name == b"authorization" for name, _ in scope["headers"])
            if presented:
                await self.refuse(send, 401, f"{read} {write}", "invalid_token",
                                  "the access token is not valid for this server")
            else:
                await self.refuse(send, 401, f"{read} {write}", None, "a bearer token is required")
            return
        if read not in user.scopes and write not in user.scopes:
            await self.refuse(send, 403, read, "insufficient_scope", f"the token grants neither {read} nor {write}")
            return
        await self.app(scope, receive, send)

    async def refuse(self, send: Send, status: int, needed: str, error: str | None, description: str) -> None:
        # RFC 6750 section 3.1: a request that sent no credential gets no error code.
        params = [f'error="{error}"'] if error else []
        params += [f'error_description="{description}"', f'scope="{needed}"', f'resource_metadata="{self.metadata}"']
        body = json.dumps({"error": error, "error_description": description} if error
                          else {"error_description": description}).encode()
        await send({"type": "http.response.start", "status": status,
                    "headers": [(b"content-type", b"application/json"),
                                (b"content-length", str(len(body)).encode()),
                                (b"www-authenticate", f"Bearer {', '.join(params)}".encode())]})
        await send({"type": "http.response.body", "body": body})


class ResourceServer:
    """Everything OAuth adds to the HTTP app: the bearer chain in front of
    MCP, the metadata routes, the host clients reach us by."""

    def __init__(self, settings: OAuthSettings, tokens: TokenFile | None = None, *,
                 clock: Callable[[], float] = time.monotonic, fetch_seconds: float = FETCH_SECONDS) -> None:
        settings.check()
        self.settings = settings
        self.jwts = JwtVerifier(settings, clock=clock, fetch_seconds=fetch_seconds)
        self.verifier = ResourceVerifier(self.jwts, tokens)

    @property
    def host(self) -> str:
        """The resource URL's host, as a Host header names it."""
        host = urlsplit(self.settings.resource_url).hostname or ""
        return f"[{host}]" if ":" in host else host

    def guard(self, app: ASGIApp) -> ASGIApp:
        """`app` behind the bearer check (the SDK's backend, bound to our resource) and the scope gate."""
        backend = BearerAuthBackend(self.verifier, resource_server_url=AnyHttpUrl(self.settings.resource_url))
        return AuthenticationMiddleware(AuthContextMiddleware(ScopeGate(app, self.settings)), backend=backend)

    def routes(self) -> list[Route]:
        """The metadata, for a GET from anyone (with CORS, for clients in a
        browser), at the resource's path form and the root form."""
        s = self.settings
        metadata = ProtectedResourceMetadata.model_validate(
            {"resource": s.resource_url, "authorization_servers": list(s.issuers),
             "scopes_supported": [s.read_scope, s.write_scope], "bearer_methods_supported": ["header"],
             "resource_name": "Kelvo MCP"})
        handler = cors_middleware(ProtectedResourceMetadataHandler(metadata).handle, ["GET", "OPTIONS"])
        paths = dict.fromkeys([urlsplit(metadata_url(s.resource_url)).path, METADATA_PATH])
        return [Route(path, endpoint=handler, methods=["GET", "OPTIONS"]) for path in paths]
