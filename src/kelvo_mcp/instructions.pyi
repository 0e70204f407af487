"""The server instruction text for the tools a connection shows."""

import re
from collections.abc import Callable, Iterable
from typing import Final

__all__ = ("COMPACT_REWRITES", "NEEDS", "mentions", "paragraphs", "render")

# (old sentence, new sentence) swaps that suit the compact profile.
COMPACT_REWRITES: Final[tuple[tuple[str, str], ...]]
# One tool-name set per paragraph of SERVER_INSTRUCTIONS; empty means always shown.
NEEDS: Final[tuple[frozenset[str], ...]]
_PAGE_AUTHORING: Final[frozenset[str]]
_DOCS: Final[frozenset[str]]
_REPO_SYNC: Final[frozenset[str]]
_TOOL_RE: Final[re.Pattern[str]]

def paragraphs() -> list[str]:
    """The paragraphs of the host's SERVER_INSTRUCTIONS."""

def mentions(text: str) -> set[str]:
    """The tool names a text mentions (marker keys left out)."""

def render(
    visible: Iterable[str],
    *,
    display: Callable[[str], str] | None = None,
    profile: str = "full",
    extra: str = "",
    rewrites: Iterable[tuple[str, str]] = (),
) -> str:
    """The instructions for the visible tools: paragraph selection (or the lean
    text), then the sentence swaps, then tool names respelled, then `extra`."""
