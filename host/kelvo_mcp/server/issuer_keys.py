"""The signing keys of one OAuth authorization server, fetched when first
needed and kept.

Where the keys are: a JWKS given for the issuer (a URL or a file), or else
the `jwks_uri` of the issuer's metadata, looked up at RFC 8414's inserted
form (`https://host/.well-known/oauth-authorization-server/path`) and then
OpenID's appended form (`https://host/path/.well-known/openid-configuration`);
a metadata document whose `issuer` is not the configured string is not used.

Who can make us fetch: anyone, by sending a token that names this issuer and
a key id we do not hold. So fetches are rationed: at most one a minute per
issuer once keys are held (one every ten seconds until a first fetch
succeeds, so an issuer down at start is picked up soon after it comes back),
one at a time, on a worker thread with a deadline, each document read to at
most 1 MiB. A token for a key we do not hold waits for that one fetch, never
more; a token for a key we hold never waits.
"""

from __future__ import annotations

import json
import logging
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any
from urllib.parse import urlsplit, urlunsplit

import anyio
import anyio.to_thread
import httpx
import jwt

from kelvo_mcp.listen import is_loopback

log = logging.getLogger("kelvo_mcp.server")

REFRESH_SECONDS = 60.0   # the shortest time between two fetches of an issuer whose keys we hold
RETRY_SECONDS = 10.0     # ... of one whose keys we never got
FETCH_SECONDS = 10.0     # the deadline of one fetch: metadata and key set together
MAX_DOCUMENT_BYTES = 1 << 20

# Asymmetric algorithms only: `none` and the HMAC family never verify a token.
ALGORITHMS_BY_KEY: dict[str | tuple[str, str], set[str]] = {
    "RSA": {"RS256", "RS384", "RS512", "PS256", "PS384", "PS512"},
    ("EC", "P-256"): {"ES256"},
    ("EC", "P-384"): {"ES384"},
    ("EC", "P-521"): {"ES512"},
    ("OKP", "Ed25519"): {"EdDSA"},
    ("OKP", "Ed448"): {"EdDSA"},
}
ALGORITHMS = frozenset().union(*ALGORITHMS_BY_KEY.values())


def check_url(url: str, what: str) -> None:
    """ValueError unless `url` is https, or http to a loopback host."""
    parts = urlsplit(url)
    if parts.scheme not in ("http", "https") or not parts.hostname:
        raise ValueError(f"{what} {url!r} is not an http(s) URL")
    if parts.scheme == "http" and not is_loopback(parts.hostname):
        raise ValueError(f"{what} {url} must use https (http only to a loopback host)")


def metadata_urls(issuer: str) -> list[str]:
    """Where an issuer's metadata may be: RFC 8414's inserted form, then OpenID's appended form."""
    parts = urlsplit(issuer)
    path = parts.path.rstrip("/")
    inserted = urlunsplit((parts.scheme, parts.netloc, f"/.well-known/oauth-authorization-server{path}", "", ""))
    appended = urlunsplit((parts.scheme, parts.netloc, f"{path}/.well-known/openid-configuration", "", ""))
    return [inserted, appended]


@dataclass(frozen=True)
class Key:
    """One verifying key of a key set: its id, the algorithms it verifies, the key itself."""

    kid: str | None
    algorithms: frozenset[str]
    key: Any


def key_algorithms(entry: dict[str, Any]) -> set[str]:
    """The algorithms of ours a JWK may verify: by its type and curve, narrowed to its `alg` when it names one."""
    kty, crv, alg = entry.get("kty"), entry.get("crv"), entry.get("alg")
    if kty == "RSA":
        found = ALGORITHMS_BY_KEY["RSA"]
    elif isinstance(kty, str) and isinstance(crv, str):
        found = ALGORITHMS_BY_KEY.get((kty, crv), set())
    else:
        found = set()
    if alg is None:
        return set(found)
    return found & {alg} if isinstance(alg, str) else set()


def parse_key_set(doc: Any) -> list[Key]:
    """The usable verifying keys of a JWKS document: asymmetric, not for
    encryption, each checked by PyJWT. ValueError when none is usable."""
    if not isinstance(doc, dict) or not isinstance(doc.get("keys"), list):
        raise ValueError("not a key set: no 'keys' list")
    keys = []
    for entry in doc["keys"]:
        if not isinstance(entry, dict) or entry.get("use", "sig") != "sig":
            continue
        algorithms, kid = key_algorithms(entry), entry.get("kid")
        if not algorithms or not isinstance(kid, (str, type(None))):
            continue  # symmetric, unknown or encryption-only keys are no verifying keys of ours
        try:
            key = jwt.PyJWK(entry, algorithm=next(iter(algorithms))).key
        except (jwt.PyJWTError, ValueError, TypeError):
            continue
        keys.append(Key(kid, frozenset(algorithms), key))
    if not keys:
        raise ValueError("the key set holds no usable signing key")
    return keys


def read_bounded(client: httpx.Client, url: str) -> Any:
    """The JSON document at `url`, at most MAX_DOCUMENT_BYTES, no redirects."""
    with client.stream("GET", url, headers={"Accept": "application/json"}) as response:
        response.raise_for_status()
        body = bytearray()
        for chunk in response.iter_bytes():
            body += chunk
            if len(body) > MAX_DOCUMENT_BYTES:
                raise ValueError(f"{url} sent more than {MAX_DOCUMENT_BYTES} bytes")
    try:
        return json.loads(body)
    except ValueError:
        raise ValueError(f"{url} sent no JSON document") from None


def read_key_file(path: Path) -> list[Key]:
    try:
        return parse_key_set(json.loads(path.read_text(encoding="utf-8")))
    except (OSError, UnicodeDecodeError) as e:
        raise ValueError(f"cannot read key set {path}: {getattr(e, 'strerror', None) or e}") from None
    except ValueError as e:
        raise ValueError(f"key set {path}: {e}") from None


class IssuerKeys:
    """The keys of one issuer. `jwks`: a key set URL or file given for it
    (else found through the issuer's metadata)."""

    def __init__(self, issuer: str, jwks: str | Path | None = None, *, fetch_seconds: float = FETCH_SECONDS,
                 clock: Callable[[], float] = time.monotonic) -> None:
        self.issuer, self.jwks, self.fetch_seconds, self.clock = issuer, jwks, fetch_seconds, clock
        self.keys: list[Key] = []
        self.fetches = 0  # fetches tried
        self._jwks_uri = jwks if isinstance(jwks, str) else None
        self._tried: float | None = None
        self._lock: anyio.Lock | None = None

    def matching(self, kid: Any, alg: str) -> list[Any]:
        """The keys held that may have signed a token with this key id (any, without one) and algorithm."""
        return [k.key for k in self.keys if alg in k.algorithms and (kid is None or k.kid == kid)]

    async def keys_for(self, kid: Any, alg: str) -> list[Any]:
        """The matching keys; when none is held, after one more fetch if the ration allows it."""
        found = self.matching(kid, alg)
        if not found:
            await self.refresh()
            found = self.matching(kid, alg)
        return found

    async def refresh(self) -> None:
        """Fetch the key set again unless one was fetched too recently; a
        failed fetch leaves the keys held as they were."""
        if self._lock is None:
            self._lock = anyio.Lock()
        async with self._lock:
            now = self.clock()
            if self._tried is not None and now - self._tried < (REFRESH_SECONDS if self.keys else RETRY_SECONDS):
                return  # fetched a moment ago, perhaps while this request waited for the lock
            self._tried = now
            self.fetches += 1
            try:
                with anyio.fail_after(self.fetch_seconds):
                    self.keys = await anyio.to_thread.run_sync(self._fetch, abandon_on_cancel=True)
            except TimeoutError:
                log.warning("keys of %s: no answer within %gs; the keys held stay in use", self.issuer,
                            self.fetch_seconds)
            except (httpx.HTTPError, ValueError) as e:
                log.warning("keys of %s: %s; the keys held stay in use", self.issuer, e)

    def _fetch(self) -> list[Key]:
        """On a worker thread: the issuer's key set, through its metadata when no key set was given."""
        if isinstance(self.jwks, Path):
            return read_key_file(self.jwks)
        with httpx.Client(timeout=self.fetch_seconds, follow_redirects=False) as client:
            if self._jwks_uri is None:
                self._jwks_uri = self._discover(client)
            try:
                return parse_key_set(read_bounded(client, self._jwks_uri))
            except (httpx.HTTPError, ValueError):
                if self.jwks is None:
                    self._jwks_uri = None  # found again through the metadata next time
                raise

    def _discover(self, client: httpx.Client) -> str:
        problems = []
        for url in metadata_urls(self.issuer):
            try:
                doc = read_bounded(client, url)
            except (httpx.HTTPError, ValueError) as e:
                problems.append(f"{url}: {e}")
                continue
            if not isinstance(doc, dict) or doc.get("issuer") != self.issuer:
                problems.append(f"{url} names another issuer")
                continue
            uri = doc.get("jwks_uri")
            if not isinstance(uri, str):
                problems.append(f"{url} gives no jwks_uri")
                continue
            check_url(uri, "jwks_uri")
            return uri
        raise ValueError("no usable metadata: " + "; ".join(problems))
