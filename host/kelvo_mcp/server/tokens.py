"""Bearer tokens from a file, as the SDK's `TokenVerifier`.

The file holds one token a line, `name:token`; the name is the principal the
token speaks for, what `get_access_token().client_id` gives the handlers and
what the SDK binds a session to, so a session opened with one credential is
refused to every other. A principal may hold several tokens at once (the old
and the new one while clients move over). Blank lines and lines starting with
`#` are skipped; a file of one bare token (no name) names its principal
`default`. `reload` reads the file again (the server does on SIGHUP); a file
that cannot be used then leaves the tokens as they were.
"""

from __future__ import annotations

import hmac
import logging
import re
from pathlib import Path

from mcp.server.auth.provider import AccessToken

log = logging.getLogger("kelvo_mcp.server")

NAME_RE = re.compile(r"[A-Za-z0-9_.-]{1,64}")
DEFAULT_PRINCIPAL = "default"


def read_tokens(path: Path) -> list[tuple[str, str]]:
    """(principal, token) pairs of a token file; ValueError, in one line, for a file that cannot be used."""
    try:
        text = path.read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as e:
        raise ValueError(f"cannot read token file {path}: {getattr(e, 'strerror', None) or e}") from None
    lines = [(n, line.strip()) for n, line in enumerate(text.splitlines(), 1)]
    lines = [(n, line) for n, line in lines if line and not line.startswith("#")]
    pairs = []
    for n, line in lines:
        name, colon, token = line.partition(":")
        if not colon:
            if len(lines) > 1:
                raise ValueError(f"token file {path}, line {n}: write each token as name:token")
            name, token = DEFAULT_PRINCIPAL, line
        if not NAME_RE.fullmatch(name):
            raise ValueError(f"token file {path}, line {n}: a name is 1 to 64 of A-Z a-z 0-9 . _ -")
        if not token or any(c.isspace() for c in token):
            raise ValueError(f"token file {path}, line {n}: a token is one word without spaces")
        pairs.append((name, token))
    if not pairs:
        raise ValueError(f"token file {path} must hold a token: one line, name:token")
    if len({token for _, token in pairs}) < len(pairs):
        raise ValueError(f"token file {path} gives one token twice")
    return pairs


class TokenFile:
    """The SDK's `TokenVerifier` over a token file."""

    def __init__(self, path: Path) -> None:
        self.path = path
        self.tokens = read_tokens(path)

    async def verify_token(self, token: str) -> AccessToken | None:
        given = token.strip().encode()
        found = None
        # Every token compared, in constant time each, so the answer's timing tells nothing of which matched.
        for name, secret in self.tokens:
            if hmac.compare_digest(given, secret.encode()):
                found = name
        return AccessToken(token=token, client_id=found, scopes=[]) if found is not None else None

    def reload(self) -> None:
        try:
            self.tokens = read_tokens(self.path)
        except ValueError as e:
            log.warning("%s; the tokens read before stay in force", e)
        else:
            log.warning("token file %s read again: %d tokens", self.path, len(self.tokens))
