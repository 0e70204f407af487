"""A host's use of the modules, kept small; tests/typing/test_stubs.py runs
`mypy --strict` over it so the stubs are exercised the way a host uses them."""

from kelvo_mcp import lexicon


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
