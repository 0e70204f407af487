"""Agent-docs refresh workloads.

WORKLOAD_BUILDERS is a list of functions, each returning a list of
harness.Workload; add a builder to it for new workloads of this module.

Markdown: blocks_to_markdown on a 2,000-block mixed page (floor: joining the
page's prepared chunks) and markdown_to_blocks on a 24,000-character doc of
about 600 lines (floor: building the same block dicts from prepared tuples);
each also at ten times the size, to show the cost is linear."""

from __future__ import annotations

import random
from typing import Callable

from kelvo_mcp import refresh

from harness import Workload

FENCE = "`" * 3
WORDS = ("agent memory doc skill canvas kelvo release checklist notes fix gotcha session "
         "approve pinned trigger digest — café naïve →").split()


def _sentence(rng: random.Random, lo: int, hi: int) -> str:
    return " ".join(rng.choice(WORDS) for _ in range(rng.randint(lo, hi)))


def mixed_page(n: int, seed: int = 7) -> list[dict]:
    """A page of n blocks: runs of list items, headings, paragraphs, code,
    dividers, quotes, marker blocks and some other block types, with order
    keys of every kind given out of order."""
    rng = random.Random(seed)
    kinds = ["paragraph"] * 6 + ["bulleted"] * 4 + ["numbered"] * 2 + ["todo", "todo_done", "heading_2",
             "heading_3", "heading_1", "quote", "code", "divider", "callout", "marker"]
    blocks = []
    for i in range(n):
        kind = rng.choice(kinds)
        if kind == "code":
            text = "\n".join("    " + _sentence(rng, 2, 6) for _ in range(rng.randint(1, 4)))
        elif kind == "marker":
            text = refresh.make_sentinel(f"doc-{i}", "doc")
            kind = "paragraph"
        elif kind == "divider":
            text = ""
        else:
            text = _sentence(rng, 3, 12)
        order = (i * 7919) % n  # a permutation of 0..n-1
        order = [order, float(order), str(order), order][i % 4]
        blocks.append({"id": f"b{i}", "block_type": kind, "text": text, "order": order})
    return blocks


def md_doc(lines: int, seed: int = 11) -> str:
    """About `lines` lines of agent-doc Markdown, about 40 characters each."""
    rng = random.Random(seed)
    out: list[str] = []
    while len(out) < lines:
        r = rng.random()
        if r < 0.08:
            out += ["", "## " + _sentence(rng, 2, 5), ""]
        elif r < 0.45:
            out.append(rng.choice(["- ", "* ", "1. ", "- [ ] ", "- [x] "]) + _sentence(rng, 6, 12))
        elif r < 0.5:
            out += [FENCE + "python"] + ["    " + _sentence(rng, 5, 10) for _ in range(4)] + [FENCE]
        elif r < 0.53:
            out.append("---")
        elif r < 0.58:
            out.append("> " + _sentence(rng, 6, 12))
        else:
            out += [_sentence(rng, 7, 13) for _ in range(rng.randint(1, 3))] + [""]
    return "\n".join(out[:lines])


def markdown_workloads() -> list[Workload]:
    out = []
    for scale in (1, 10):
        page = mixed_page(2000 * scale)
        chunks = refresh.blocks_to_markdown(page).split("\n\n")  # prepared pieces for the floor
        out.append(Workload(
            f"blocks_to_markdown {len(page):,}-block page", lambda p=page: refresh.blocks_to_markdown(p),
            lambda c=chunks: "\n\n".join(c), '"\\n\\n".join(chunks)', note=f"{scale}x input"))
    for scale in (1, 10):
        text = md_doc(600 * scale)
        text = text[: 24000 * scale] if len(text) > 24000 * scale else text
        prepared = [(b["block_type"], b["text"]) for b in refresh.markdown_to_blocks(text)]
        out.append(Workload(
            f"markdown_to_blocks {len(text):,} chars, {text.count(chr(10)) + 1:,} lines",
            lambda t=text: refresh.markdown_to_blocks(t),
            lambda p=prepared: [{"block_type": t, "text": s} for t, s in p], "dicts from tuples",
            note=f"{scale}x input"))
    return out


WORKLOAD_BUILDERS: list[Callable[[], list[Workload]]] = [markdown_workloads]


def workloads() -> list[Workload]:
    return [w for build in WORKLOAD_BUILDERS for w in build()]
