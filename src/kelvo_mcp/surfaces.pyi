"""Tool surfaces: the "full", "lean" and "compact" profiles, family call
resolution and respelling of tool names."""

import re
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any, Final, Protocol, Self, TypeVar, final, type_check_only

__all__ = (
    "FAMILIES",
    "OPS",
    "PAGE_CREATE_SHORT",
    "PAGE_GRAMMAR",
    "PROFILES",
    "SurfaceTool",
    "alias_lines",
    "build_surface",
    "display_name",
    "ignored_args",
    "resolve_call",
    "respell_guidance",
    "respell_text",
    "surface_names",
)

_T = TypeVar("_T")

PROFILES: Final[tuple[str, ...]]
# family key -> (family tool name, title, description)
FAMILIES: Final[dict[str, tuple[str, str, str]]]
# member tool name -> op word
OPS: Final[dict[str, str]]
PAGE_GRAMMAR: Final[str]
PAGE_CREATE_SHORT: Final[str]
SHORT_CANVAS_DOC: Final[str]
SHORT_DOCS_CANVAS_DOC: Final[str]
GUIDANCE_KEYS: Final[frozenset[str]]
CONTENT_KEYS: Final[frozenset[str]]
_FAMILY_TOOL_NAMES: Final[frozenset[str]]
_AUTHORING: Final[frozenset[str]]
_GRAMMAR_SUMMARY: Final[str]
_NAME_RE: Final[re.Pattern[str]]
_TRUNC_RE: Final[re.Pattern[str]]

@final
class SurfaceTool:
    """One tool as a surface offers it (immutable)."""

    __match_args__ = ("name", "title", "description", "input_schema", "annotations", "members", "ops", "writes")
    def __new__(
        cls,
        name: str,
        title: str,
        description: str,
        input_schema: dict[str, Any],
        annotations: dict[str, Any],
        members: Sequence[str],
        ops: dict[str, str] = ...,
        writes: bool = False,
    ) -> Self: ...
    @property
    def name(self) -> str: ...
    @property
    def title(self) -> str: ...
    @property
    def description(self) -> str: ...
    @property
    def input_schema(self) -> dict[str, Any]: ...
    @property
    def annotations(self) -> dict[str, Any]: ...
    @property
    def members(self) -> Sequence[str]: ...
    @property
    def ops(self) -> dict[str, str]:
        """Op word -> member tool name; empty for a single tool."""
    @property
    def writes(self) -> bool: ...
    @property
    def is_family(self) -> bool: ...
    def __replace__(
        self,
        *,
        name: str = ...,
        title: str = ...,
        description: str = ...,
        input_schema: dict[str, Any] = ...,
        annotations: dict[str, Any] = ...,
        members: Sequence[str] = ...,
        ops: dict[str, str] = ...,
        writes: bool = ...,
    ) -> Self: ...

@type_check_only
class CatalogueTool(Protocol):
    """What the surface builder reads of a host catalogue `Tool`."""

    @property
    def name(self) -> str: ...
    @property
    def title(self) -> str: ...
    @property
    def description(self) -> str: ...
    @property
    def input_schema(self) -> dict[str, Any]: ...
    @property
    def annotations(self) -> dict[str, Any]: ...
    @property
    def docs_tool(self) -> bool: ...
    @property
    def writes(self) -> bool: ...
    @property
    def family(self) -> str | None: ...

def build_surface(profile: str = "full", *, readonly: bool = False, absent: Iterable[str] = frozenset()) -> list[SurfaceTool]:
    """The tools one connection offers; raises KeyError for an unknown profile."""

def resolve_call(
    surface: Sequence[SurfaceTool], name: str, args: Mapping[str, Any] | None
) -> tuple[str, dict[str, Any]]:
    """The catalogue tool to run and its arguments, or ("__grammar__", {});
    raises kelvo_mcp.runtime.ToolInputError for a call the surface refuses."""

def ignored_args(surface: Sequence[SurfaceTool], name: str, args: Mapping[str, Any] | None) -> list[str]:
    """The arguments of a family call that its op will not use, sorted."""

def display_name(surface: Sequence[SurfaceTool]) -> Callable[[str], str]:
    """The name map: a member tool name to its family-call form on this surface."""

def respell_text(text: str, disp: Callable[[str], str]) -> str: ...
def respell_guidance(obj: _T, disp: Callable[[str], str]) -> _T:
    """A copy of a tool reply with tool names in its guidance respelled;
    user content is left alone."""

def alias_lines(surface: Sequence[SurfaceTool]) -> str: ...
def surface_names(surface: Sequence[SurfaceTool]) -> set[str]: ...
def _respell(st: SurfaceTool, disp: Callable[[str], str]) -> SurfaceTool: ...
def _single(t: CatalogueTool, *, compact: bool) -> SurfaceTool: ...
def _family(family: str, members: Sequence[CatalogueTool], *, grammar: bool = False) -> SurfaceTool: ...
def _short_canvas(schema: Mapping[str, Any], docs_tool: bool) -> dict[str, Any]: ...
