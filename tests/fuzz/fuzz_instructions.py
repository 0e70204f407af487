"""Fuzz targets of kelvo_mcp.instructions."""

import re

from draw import Draw
from test_render import plain_render

from kelvo_mcp import instructions as I

NAMES = sorted(set().union(*I.NEEDS)) + ["kelvo_search", "kelvo_page_get", "kelvo_nope", "", "kelvo_x__"]
WORDS = NAMES + ["kelvo_", "page", "\u2014", "the", "\n\n", "ONCE", "__kelvo_agent_doc__", "\\g<0>", "\\1"]
TOOL = re.compile("kelvo_[a-z_]+")


def target_render(data):
    """render agrees with the plain reading (paragraph choice, sentence swaps,
    respelling, closing text) under drawn visible sets, name maps and swaps;
    mentions finds the tool names a text holds."""
    d = Draw(data)
    visible = d.subset(NAMES) if d.bool() else [d.text(WORDS, 3) for _ in range(d.int(0, 4))]
    profile = d.pick(["full", "lean", "compact", "", "LEAN"])
    rewrites = list(I.COMPACT_REWRITES) if d.bool() else []
    rewrites += [(d.pick(WORDS[-9:]) + d.text((), 1), d.text(WORDS, 3)) for _ in range(d.int(0, 3))]
    rewrites = [(old, new) for old, new in rewrites if old]  # an empty old text swaps between every character
    spelled = {n: d.text(WORDS, 2) for n in d.subset(NAMES)}
    display = d.pick([None, lambda n: spelled.get(n, n), lambda n: n[6:].upper(), lambda n: None])
    extra = d.text(WORDS, 4)
    got = I.render(visible, display=display, profile=profile, extra=extra, rewrites=rewrites)
    assert got == plain_render(visible, display, profile, extra, rewrites)
    text = d.text(WORDS, 12)
    assert I.mentions(text) == {m for m in TOOL.findall(text) if not m.endswith("__")}
