"""What the connected engine serves, and which tools to hide."""

from collections.abc import Mapping, Sequence
from typing import Any, Final, Protocol, Self, final, type_check_only

import httpx

__all__ = ("Capabilities", "NEEDS_PAGES", "resolve")

NEEDS_PAGES: Final[frozenset[str]]

@final
class Capabilities:
    """What the engine serves and what the API key may do (immutable)."""

    __match_args__ = ("pages", "source", "role", "scopes")
    def __new__(
        cls, pages: bool = True, source: str = "fail-open", role: str = "", scopes: Sequence[str] = ()
    ) -> Self: ...
    @property
    def pages(self) -> bool: ...
    @property
    def source(self) -> str:
        """How the answer was reached: "fail-open", "capabilities", "probe" or
        the label of an undecided probe."""
    @property
    def role(self) -> str: ...
    @property
    def scopes(self) -> Sequence[str]: ...
    @property
    def key(self) -> dict[str, Any]:
        """{} without role and scopes, else {"role": str, "scopes": list[str]}."""
    @property
    def absent(self) -> frozenset[str]:
        """The tool names to hide: empty when pages are served, else NEEDS_PAGES."""
    def banner(self) -> str:
        """One status line, e.g. "pages served · via probe"."""
    def __replace__(
        self, *, pages: bool = ..., source: str = ..., role: str = ..., scopes: Sequence[str] = ...
    ) -> Self: ...

@type_check_only
class EngineClient(Protocol):
    """What the capability check needs of the engine client."""

    def whoami(self) -> Mapping[str, Any] | None: ...
    def list_pages(self, *, limit: int) -> object: ...

def resolve(client: EngineClient) -> Capabilities:
    """Ask the engine once per connection; every uncertain outcome means
    pages served."""

def _probe_pages(client: EngineClient) -> bool | None: ...
def _canvas_missing(resp: httpx.Response) -> bool: ...
