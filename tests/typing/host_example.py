"""A host's use of the modules, kept small; tests/typing/test_stubs.py runs
`mypy --strict` over it (and over the walkthrough) so the stubs are exercised
the way a host uses them."""

import copy

from kelvo_mcp import lexicon, surfaces
from kelvo_mcp.capabilities import Capabilities
from kelvo_mcp.refresh import DocInfo


def block_type_of(name: str) -> str:
    """The current block type for a name an agent used, or the fallback."""
    if name in lexicon.BLOCK_TYPES:
        return name
    return lexicon.BLOCK_TYPE_ALIASES.get(name.lower(), lexicon.BLOCK_TYPE_FALLBACK)


def icon_problem(icon: str) -> str | None:
    if lexicon.icon_ok(icon):
        return None
    units = lexicon.utf16_len(icon.strip())
    return f"icon is {units} UTF-16 units; at most {lexicon.ICON_MAX_UTF16} fit"


def colours_in_order() -> list[str]:
    return [c for c in lexicon.VOCAB["colors"] if c in lexicon.COLORS]


def illustration_hints() -> dict[str, str]:
    return {ill["name"]: ill["hint"] for ill in lexicon.VOCAB["illustrations"]}


def describe(doc: object) -> str:
    """Records take part in pattern matching by their field order."""
    match doc:
        case DocInfo(name, "skill", _, when_to_use):
            return f"skill {name}: {when_to_use}"
        case DocInfo(name=name, approval=approval):
            return f"{name} ({approval})"
    return "not a doc"


def approved_copy(doc: DocInfo) -> DocInfo:
    return copy.replace(doc, approval="approved")


def family_ops(profile: str) -> dict[str, list[str]]:
    return {st.name: list(st.ops) for st in surfaces.build_surface(profile) if st.is_family}


def hidden_tools(pages: bool) -> frozenset[str]:
    return Capabilities(pages=pages, source="probe").absent
