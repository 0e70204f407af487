"""The page vocabulary: tables, derived constants and the two checks."""

import json

import pytest
from hypothesis import given, strategies as st

from kelvo_mcp import lexicon as L

KEYS = ["version", "colors", "callout_variants", "todo_flags", "covers", "block_types",
        "legacy_block_types", "block_type_fallback", "block_type_aliases", "illustrations",
        "illustration_sizes", "illustration_default_size", "media_aligns", "media_align_aliases",
        "media_width_min", "media_width_max", "media_angle_max", "media_nudge_max", "media_schemes",
        "space_min", "space_max", "icon_max_utf16", "card_width_min", "card_width_max",
        "card_width_default", "card_height_min", "controls", "progress_shapes"]


def test_vocab_keys_and_their_json_order():
    assert list(L.VOCAB) == KEYS
    assert list(json.loads(json.dumps(L.VOCAB))) == KEYS
    assert L.SOURCE_SHA == "53b9c1ceb92484d6"
    assert L.VOCAB["version"] == 1


def test_table_contents():
    assert len(L.VOCAB["block_types"]) == 13 and L.VOCAB["block_types"][-1] == "embed"
    assert L.VOCAB["legacy_block_types"] == ["text", "heading"]
    assert len(L.VOCAB["covers"]) == 11 and len(L.VOCAB["todo_flags"]) == 3
    assert len(L.VOCAB["colors"]) == 18 and L.VOCAB["colors"][0] == "slate" and L.VOCAB["colors"][-1] == "pink"
    aliases = L.VOCAB["block_type_aliases"]
    assert len(aliases) == 35 and list(aliases)[:2] == ["p", "h1"] and list(aliases)[-1] == "picture"
    assert aliases["to-do"] == "todo" and aliases["note"] == "callout"
    ills = L.VOCAB["illustrations"]
    assert len(ills) == 16 and all(list(i) == ["name", "label", "group", "hint"] for i in ills)
    assert ills[0] == {"name": "wisp-wave", "label": "Wisp waves", "group": "wisp",
                       "hint": "A hello \u2014 welcomes, intros"}
    assert sum("\u2014" in i["hint"] for i in ills) == 4
    assert L.VOCAB["media_align_aliases"] == {"middle": "center", "centre": "center"}
    assert L.VOCAB["media_schemes"] == ["http://", "https://", "data:image/", "kelvo://files/"]


def test_derived_constants():
    assert isinstance(L.COLORS, frozenset) and len(L.COLORS) == 18
    assert L.CALLOUT_VARIANTS == frozenset(["note", "info", "tip", "success", "warning", "danger"])
    assert len(L.TODO_FLAGS) == 3 and len(L.COVERS) == 11
    assert isinstance(L.BLOCK_TYPES, frozenset) and len(L.BLOCK_TYPES) == 15
    assert {"text", "heading"} <= L.BLOCK_TYPES and L.BLOCK_TYPE_FALLBACK == "text"
    assert L.BLOCK_TYPE_ALIASES == L.VOCAB["block_type_aliases"]
    assert L.BLOCK_TYPE_ALIASES is not L.VOCAB["block_type_aliases"]
    assert list(L.BLOCK_TYPE_ALIASES) == list(L.VOCAB["block_type_aliases"])
    assert "paragraph" not in L.BLOCK_TYPE_ALIASES and "todo_done" not in L.BLOCK_TYPE_ALIASES
    assert "H1" not in L.BLOCK_TYPE_ALIASES
    assert L.ILLUSTRATION_NAMES[0] == "wisp-wave" and L.ILLUSTRATION_NAMES[-1] == "compass"
    assert isinstance(L.ILLUSTRATION_NAMES, tuple) and len(L.ILLUSTRATION_NAMES) == 16
    assert L.ILLUSTRATION_SIZES == ("s", "m", "l")
    assert isinstance(L.MEDIA_SCHEMES, tuple) and len(L.MEDIA_SCHEMES) == 4
    assert (L.SPACE_MIN, L.SPACE_MAX, L.ICON_MAX_UTF16) == (0, 120, 8)
    assert (L.CARD_WIDTH_MIN, L.CARD_WIDTH_MAX, L.CARD_WIDTH_DEFAULT, L.CARD_HEIGHT_MIN) == (180, 900, 300, 90)


@pytest.mark.parametrize("s, n", [("", 0), ("abc", 3), ("😀", 2), ("\ud800", 1), ("a😀\udfffé", 5)])
def test_utf16_len(s, n):
    assert L.utf16_len(s) == n
    assert L.utf16_len(s=s) == n


@given(st.text())
def test_utf16_len_is_the_encoded_length(s):
    assert L.utf16_len(s) == len(s.encode("utf-16-le", "surrogatepass")) // 2


@pytest.mark.parametrize("s, ok", [
    ("", False), ("   ", False), ("\x1c\x85\u3000", False),
    (" 😀 ", True), ("abcdefgh", True), ("abcdefghi", False),
    ("😀" * 4, True), ("😀" * 5, False),
    ("\u200b", True),  # zero-width space is not whitespace
    ("👩\u200d👩\u200d👧\u200d👦", False),  # 11 units joined
    ("\ud800", True),
])
def test_icon_ok(s, ok):
    assert L.icon_ok(s) is ok


@given(st.text())
def test_icon_ok_matches_the_rule(s):
    t = s.strip()
    assert L.icon_ok(s) is (bool(t) and len(t.encode("utf-16-le", "surrogatepass")) // 2 <= 8)


@pytest.mark.parametrize("bad", [None, 5, b"abc", ["a"], 1.5])
def test_non_strings_fail_with_attribute_error(bad):
    with pytest.raises(AttributeError):
        L.utf16_len(bad)
    with pytest.raises(AttributeError):
        L.icon_ok(bad)


def test_argument_errors():
    with pytest.raises(TypeError):
        L.utf16_len()
    with pytest.raises(TypeError):
        L.icon_ok("a", "b")
    with pytest.raises(TypeError):
        L.icon_ok(t="a")
