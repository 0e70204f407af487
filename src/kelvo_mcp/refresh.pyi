"""Agent docs: Markdown and blocks, the doc marker, the registry scan and
approvals, the digest, the handshake text, the refresh timer and the built-in
docs."""

import re
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any, Final, Protocol, Self, TypedDict, final, type_check_only

from typing_extensions import disjoint_base

__all__ = [
    "blocks_to_markdown",
    "markdown_to_blocks",
    "valid_name",
    "make_sentinel",
    "parse_sentinel",
    "SENTINEL_KEY",
    "DOC_KINDS",
    "MAX_DOC_NAME",
    "MAX_WHEN_TO_USE",
    "GUIDE_DOC_NAME",
    "GUIDE_DOC_WHEN",
    "GUIDE_DOC_BODY",
    "KELVO_FIRST_NAME",
    "KELVO_FIRST_WHEN",
    "KELVO_FIRST_BODY",
    "KELVO_FIRST_SEEDED_BODIES",
    "SETUP_NOTE",
    "MAX_DOC_CHARS",
    "DocInfo",
    "DocsConfig",
    "APPROVED",
    "CHANGED",
    "NONE",
    "UNKNOWN",
    "MAX_REGISTRY_PAGES",
    "DEFAULT_DOCS_CANVAS",
    "doc_from_page",
    "derive_registry",
    "requests_authority",
    "is_instruction",
    "is_builtin_seed",
    "visible_docs",
    "approvals_reported",
    "instructions_version",
    "build_digest",
    "DEFAULT_DIGEST_CHARS",
    "DIGEST_BUILD_BUDGET_SECONDS",
    "UNREPORTED_NOTE",
    "handshake_text",
    "HANDSHAKE_CHARS",
    "RefreshState",
    "DEFAULT_REFRESH_CALLS",
    "DEFAULT_REFRESH_MINUTES",
    "RETRY_SECONDS",
]

# -- Markdown and blocks ------------------------------------------------------

_MD_BLOCK_PREFIX: Final[dict[str, str]]
_LIST_TYPES: Final[frozenset[str]]
_LINE_TYPES: Final[tuple[tuple[str, str], ...]]
_NUMBERED_RE: Final[re.Pattern[str]]

class _Block(TypedDict):
    block_type: str
    text: str

def blocks_to_markdown(blocks: Iterable[object] | None) -> str:
    """The Markdown of a page's blocks, in page order; the doc marker block and
    elements that are not maps are left out."""

def markdown_to_blocks(text: str | None) -> list[_Block]:
    """A new list of block maps ({"block_type", "text"}) in document order."""

# -- Doc names and the doc marker --------------------------------------------

SENTINEL_KEY: Final = "__kelvo_agent_doc__"
DOC_KINDS: Final[tuple[str, ...]]
MAX_DOC_NAME: Final = 64
MAX_WHEN_TO_USE: Final = 200
_NAME_RE: Final[re.Pattern[str]]
_ANY_SENTINEL_RE: Final[re.Pattern[str]]

class _Marker(TypedDict):
    name: str
    kind: str
    when_to_use: str
    pinned: bool
    v: int

def valid_name(name: str | None) -> bool:
    """Whether name is a doc name: a lowercase letter or digit, then up to 63
    of lowercase letters, digits, ".", "_", "-"."""

def make_sentinel(
    name: str, kind: str, when_to_use: str = "", pinned: bool = False, v: int | float | str = 1
) -> str:
    """The doc marker: one line of ASCII JSON."""

def parse_sentinel(text: str | None) -> _Marker | None:
    """The marker record of a block text, or None when it is not a valid marker."""

# -- Built-in docs and fixed texts -------------------------------------------

GUIDE_DOC_NAME: Final = "agent-memory-guide"
GUIDE_DOC_WHEN: Final[str]
GUIDE_DOC_BODY: Final[str]
KELVO_FIRST_NAME: Final = "kelvo-first"
KELVO_FIRST_WHEN: Final[str]
KELVO_FIRST_BODY: Final[str]
KELVO_FIRST_SEEDED_BODIES: Final[tuple[str, ...]]
SETUP_NOTE: Final[str]
MAX_DOC_CHARS: Final = 24000

# -- Registry and approvals ---------------------------------------------------

APPROVED: Final = "approved"
CHANGED: Final = "changed"
NONE: Final = "none"
UNKNOWN: Final = "unknown"
MAX_REGISTRY_PAGES: Final = 50
DEFAULT_DOCS_CANVAS: Final = "agent_docs"

@final
class DocInfo:
    """One agent doc found on the docs canvas (immutable)."""

    __match_args__ = (
        "name", "kind", "title", "when_to_use", "pinned", "page_id", "updated_at", "body", "v", "approval",
    )
    def __new__(
        cls,
        name: str,
        kind: str,
        title: str,
        when_to_use: str,
        pinned: bool,
        page_id: str,
        updated_at: str | None,
        body: str,
        v: int = 1,
        approval: str = "unknown",
    ) -> Self: ...
    @property
    def name(self) -> str: ...
    @property
    def kind(self) -> str: ...
    @property
    def title(self) -> str: ...
    @property
    def when_to_use(self) -> str: ...
    @property
    def pinned(self) -> bool: ...
    @property
    def page_id(self) -> str: ...
    @property
    def updated_at(self) -> str | None: ...
    @property
    def body(self) -> str: ...
    @property
    def v(self) -> int: ...
    @property
    def approval(self) -> str: ...
    def __replace__(
        self,
        *,
        name: str = ...,
        kind: str = ...,
        title: str = ...,
        when_to_use: str = ...,
        pinned: bool = ...,
        page_id: str = ...,
        updated_at: str | None = ...,
        body: str = ...,
        v: int = ...,
        approval: str = ...,
    ) -> Self: ...

@final
class DocsConfig:
    """The docs settings the host holds (immutable)."""

    __match_args__ = ("enabled", "canvas", "calls", "minutes", "digest_chars")
    def __new__(
        cls,
        enabled: bool = False,
        canvas: str = "agent_docs",
        calls: int = 12,
        minutes: float = 10.0,
        digest_chars: int = 2000,
    ) -> Self: ...
    @property
    def enabled(self) -> bool: ...
    @property
    def canvas(self) -> str: ...
    @property
    def calls(self) -> int: ...
    @property
    def minutes(self) -> float: ...
    @property
    def digest_chars(self) -> int: ...
    def __replace__(
        self, *, enabled: bool = ..., canvas: str = ..., calls: int = ..., minutes: float = ..., digest_chars: int = ...
    ) -> Self: ...

@type_check_only
class DocsClient(Protocol):
    """What the registry scan needs of the engine client: it already
    addresses the docs canvas."""

    def list_pages(self, *, limit: int) -> Mapping[str, Any] | None: ...
    def get_page(self, page_id: str, /) -> Mapping[str, Any] | None: ...

def _approval_of(detail: Mapping[str, Any]) -> str: ...
def doc_from_page(page_row: Mapping[str, Any], detail: Mapping[str, Any]) -> DocInfo | None:
    """The DocInfo of one engine page, or None when the page is not an agent doc."""

def derive_registry(
    client: DocsClient,
    *,
    max_pages: int = 50,
    budget_seconds: float | None = None,
    clock: Callable[[], float] = ...,
    dedupe: bool = True,
) -> tuple[list[DocInfo], dict[str, str]]:
    """Scan the docs canvas: the docs in scan order and the notes map
    ("truncated", "budget", "duplicates"). A listing whose "pages" is truthy
    but not a list raises TypeError before any page is requested."""

def requests_authority(d: DocInfo) -> bool: ...
def is_instruction(d: DocInfo) -> bool: ...
def is_builtin_seed(d: DocInfo) -> bool: ...
def visible_docs(docs: Iterable[DocInfo]) -> list[DocInfo]: ...
def approvals_reported(docs: Iterable[DocInfo]) -> bool: ...
def instructions_version(docs: Iterable[DocInfo]) -> str:
    """Twelve hex digits that change whenever the approved instruction set does."""

# -- Digest -------------------------------------------------------------------

DEFAULT_DIGEST_CHARS: Final = 2000
MIN_DIGEST_CHARS: Final = 200
DIGEST_BUILD_BUDGET_SECONDS: Final[float]
DIGEST_NOTE: Final[str]
UNREPORTED_NOTE: Final[str]

class _RequestedRow(TypedDict):
    name: str
    kind: str
    state: str

def build_digest(
    docs: Sequence[DocInfo],
    *,
    cap_chars: int = 2000,
    now: float | None = None,
    extra: Mapping[str, Any] | None = None,
) -> dict[str, Any] | None:
    """The standing-instructions digest within cap_chars JSON characters, or
    None when no doc is visible."""

def _one_liner(d: DocInfo) -> str: ...
def _requested_row(d: DocInfo) -> _RequestedRow: ...
def _truncated_body(body: str, cap: int, name: str) -> str: ...

# -- Handshake text -----------------------------------------------------------

HANDSHAKE_CHARS: Final = 4000

def handshake_text(
    docs: Sequence[DocInfo] | None,
    *,
    cap_chars: int = 4000,
    error: str | None = None,
    display: Callable[[str], str] | None = None,
    kelvo_first: bool = True,
) -> str:
    """The standing instructions shown in full at connection start."""

# -- Refresh timer ------------------------------------------------------------

DEFAULT_REFRESH_CALLS: Final = 12
DEFAULT_REFRESH_MINUTES: Final[float]
RETRY_SECONDS: Final[float]

@disjoint_base
class RefreshState:
    """When to rebuild the digest: on the first call, then every `calls` calls
    or `minutes` minutes, one rebuild at a time. Thread-safe."""

    def __init__(self, calls: int = 12, minutes: float = 10.0, clock: Callable[[], float] = ...) -> None: ...
    @property
    def calls(self) -> int: ...
    @property
    def seconds(self) -> float: ...
    def tick(self) -> bool:
        """Count a call; True when a rebuild is due now (and is then under way)."""
    def fired(self) -> None:
        """The rebuild succeeded."""
    def failed(self, retry_seconds: float = 60.0) -> None:
        """The rebuild failed; it is due again after retry_seconds (at least 1)."""
