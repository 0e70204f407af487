"""One actionable sentence for an engine failure, with secrets and URLs
redacted."""

import re
from collections.abc import Iterable
from typing import Any, Final, Literal, Protocol, type_check_only

import httpx

__all__ = ("call", "engine_reason", "http_failure", "not_found", "possible", "timeout", "timeout_phase")

_DETAIL_MAX: Final = 300
_SECRETISH: Final[re.Pattern[str]]
_URL: Final[re.Pattern[str]]
_STATUS_WORDS: Final[dict[int, str]]
_PHASE_MEANS: Final[dict[str, str]]

@type_check_only
class Response(Protocol):
    """What the module reads of an HTTP response."""

    @property
    def status_code(self) -> int: ...
    def json(self) -> Any: ...

def _clean(text: object) -> str: ...
def possible(causes: Iterable[str]) -> str:
    """"" or "possible cause: a" / "possible causes: a; b; or c"."""

def call(tool: str, canvas: str | None = None, **arguments: object) -> str:
    """A tool call rendered as text, e.g. kelvo_page_get(id='p1', canvas='work')."""

def engine_reason(response: Response | None) -> str:
    """The engine's own reason from the body's "detail", cleaned, or ""."""

def not_found(kind: str, ident: object, canvas: str | None, causes: Iterable[str], next_call: str | None = None) -> str: ...
def timeout_phase(exc: BaseException) -> Literal["connect", "write", "pool", "read", "unknown"]: ...
def _budget(exc: BaseException, phase: str) -> float | None: ...
def timeout(
    tool: str,
    exc: BaseException,
    *,
    writes: bool,
    canvas: str | None = None,
    read_call: str | None = None,
    budget_class: str | None = None,
    budget_env: str | None = None,
) -> str:
    """What a time-out means for this call and whether a retry is safe."""

def http_failure(tool: str, exc: httpx.HTTPStatusError, *, writes: bool, canvas: str | None = None) -> str:
    """What an HTTP status failure means, with the engine's reason when it gave one."""
