"""Page vocabulary: block types, aliases, colours, media rules and limits."""

from typing import Final, TypedDict

class _Illustration(TypedDict):
    name: str
    label: str
    group: str
    hint: str

# The vocabulary map; its keys are fixed and appear in this order.
_Vocab = TypedDict(
    "_Vocab",
    {
        "version": int,
        "colors": list[str],
        "callout_variants": list[str],
        "todo_flags": list[str],
        "covers": list[str],
        "block_types": list[str],
        "legacy_block_types": list[str],
        "block_type_fallback": str,
        "block_type_aliases": dict[str, str],
        "illustrations": list[_Illustration],
        "illustration_sizes": list[str],
        "illustration_default_size": str,
        "media_aligns": list[str],
        "media_align_aliases": dict[str, str],
        "media_width_min": int,
        "media_width_max": int,
        "media_angle_max": int,
        "media_nudge_max": int,
        "media_schemes": list[str],
        "space_min": int,
        "space_max": int,
        "icon_max_utf16": int,
        "card_width_min": int,
        "card_width_max": int,
        "card_width_default": int,
        "card_height_min": int,
        "controls": list[str],
        "progress_shapes": list[str],
    },
)

SOURCE_SHA: Final[str]
VOCAB: Final[_Vocab]

COLORS: Final[frozenset[str]]
CALLOUT_VARIANTS: Final[frozenset[str]]
TODO_FLAGS: Final[frozenset[str]]
COVERS: Final[frozenset[str]]
BLOCK_TYPES: Final[frozenset[str]]
BLOCK_TYPE_ALIASES: Final[dict[str, str]]
BLOCK_TYPE_FALLBACK: Final[str]
ILLUSTRATION_NAMES: Final[tuple[str, ...]]
ILLUSTRATION_SIZES: Final[tuple[str, ...]]
MEDIA_SCHEMES: Final[tuple[str, ...]]
SPACE_MIN: Final[int]
SPACE_MAX: Final[int]
ICON_MAX_UTF16: Final[int]
CARD_WIDTH_MIN: Final[int]
CARD_WIDTH_MAX: Final[int]
CARD_WIDTH_DEFAULT: Final[int]
CARD_HEIGHT_MIN: Final[int]

def utf16_len(s: str) -> int:
    """Number of UTF-16 code units in s: a code point above U+FFFF counts 2,
    every other one (lone surrogates included) 1."""

def icon_ok(s: str) -> bool:
    """Whether s, stripped of surrounding whitespace, is non-empty and at most
    ICON_MAX_UTF16 UTF-16 units long."""
