"""Fuzz targets of kelvo_mcp.lexicon."""

from draw import Draw

from kelvo_mcp import lexicon


def target_utf16(data):
    """utf16_len counts UTF-16 units (lone surrogates 1); icon_ok is its
    bounded, non-empty check after a whitespace strip."""
    d = Draw(data)
    s = d.text(["\U0001f469\u200d\U0001f4bb", "\U0001f4dd", "\U0001f680"], 12)
    n = lexicon.utf16_len(s)
    assert n == len(s) + sum(ord(c) > 0xFFFF for c in s), (s, n)
    stripped = s.strip()
    units = len(stripped) + sum(ord(c) > 0xFFFF for c in stripped)
    assert lexicon.icon_ok(s) is (0 < units <= lexicon.ICON_MAX_UTF16), s
