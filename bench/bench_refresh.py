"""Agent-docs refresh workloads.

WORKLOAD_BUILDERS is a list of functions, each returning a list of
harness.Workload; add a builder to it for new workloads of this module.

Markdown: blocks_to_markdown on a 2,000-block mixed page (floor: joining the
page's prepared chunks) and markdown_to_blocks on a 24,000-character doc of
about 600 lines (floor: building the same block dicts from prepared tuples);
each also at ten times the size, to show the cost is linear; and
blocks_to_markdown of that 24,000-character doc's blocks, the size a host
meets."""

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
        # The same result objects with their texts made too: each a slice of the doc.
        bounds, at = [], 0
        for t, s in prepared:
            at = text.index(s, at)
            bounds.append((t, at, len(s)))
        if scale == 1:
            assert [(k, text[i:i + n]) for k, i, n in bounds] == prepared
            out.append(Workload(
                f"markdown_to_blocks {len(text):,} chars, texts made too", lambda t=text: refresh.markdown_to_blocks(t),
                lambda t=text, bd=bounds: [{"block_type": k, "text": t[i:i + n]} for k, i, n in bd],
                "dicts and text slices", note="the result objects, texts included"))
    # The size a host meets: one doc at its 24,000-character limit, read back.
    blocks = refresh.markdown_to_blocks(md_doc(600)[:24000])
    chunks = refresh.blocks_to_markdown(blocks).split("\n\n")
    out.append(Workload(
        f"blocks_to_markdown a 24,000-char doc ({len(blocks)} blocks)", lambda: refresh.blocks_to_markdown(blocks),
        lambda: "\n\n".join(chunks), '"\\n\\n".join(chunks)', note="a doc at MAX_DOC_CHARS"))
    return out


WORKLOAD_BUILDERS: list[Callable[[], list[Workload]]] = [markdown_workloads]


def workloads() -> list[Workload]:
    return [w for build in WORKLOAD_BUILDERS for w in build()]


# -- Registry, digest, handshake and timer workloads ---------------------------
#
# Digest: build_digest over 50 visible docs (a full canvas, what hosts meet)
# and over 1,000 of every kind and approval with cap_chars 2,000, against one
# json.dumps of the unshortened digest; again at 10,000 docs to show the cost
# is linear. Registry: derive_registry over 50 doc pages (a full scan), from
# the in-memory engine and from prepared replies. Handshake:
# handshake_text over 200 approved docs. Timer: tick alone and across 8 threads.

import copy  # noqa: E402
import json  # noqa: E402
import threading  # noqa: E402


def _mixed_docs(n: int, seed: int = 3) -> list:
    """n visible docs of every kind and approval state, names and triggers of
    realistic length, with some non-ASCII text."""
    rng = random.Random(seed)
    docs = []
    for i in range(n):
        kind = rng.choice(["doc", "doc", "skill", "learnings"])
        pinned = kind != "skill" and rng.random() < 0.3
        approval = rng.choice(["approved", "approved", "changed", "none"])
        when = _sentence(rng, 4, 10) if kind == "skill" and rng.random() < 0.7 else ""
        body = "\n".join(_sentence(rng, 5, 14) for _ in range(rng.randint(2, 8)))
        docs.append(refresh.DocInfo(f"{rng.choice(WORDS[:12])}-{i}", kind, f"Doc {i}", when, pinned, f"pg_{i:05d}",
                                    "2025-03-07T09:05:00Z", body, 1, approval))
    return docs


def digest_workloads() -> list[Workload]:
    out = []
    for n in (50, 1_000, 10_000):
        docs = _mixed_docs(n)
        full = refresh.build_digest(docs, cap_chars=10**12, now=1.7e9)
        out.append(Workload(
            f"build_digest {n:,} docs, cap 2,000",
            lambda d=docs: refresh.build_digest(d, cap_chars=2000, now=1.7e9),
            lambda f=full: json.dumps(f), "json.dumps(unshortened digest)",
            note="a full docs canvas" if n == 50 else f"{n // 1000}x input"))
    return out


class _PreparedClient:
    """An engine client that answers from prepared replies, so the scan's own
    cost shows."""

    def __init__(self, engine):
        self.listing = engine.list_pages(limit=50)
        self.details = {row["page_id"]: engine.get_page(row["page_id"]) for row in self.listing["pages"]}

    def list_pages(self, limit):
        return self.listing

    def get_page(self, page_id):
        return self.details[page_id]


def registry_workloads() -> list[Workload]:
    from kelvo_mcp.memory_engine import InMemoryEngine

    rng = random.Random(5)
    engine = InMemoryEngine()
    for i in range(50):
        body = "\n".join(rng.choice(["- ", "## ", "", "1. "]) + _sentence(rng, 4, 12) for _ in range(12))
        engine.add_doc(f"doc-{i}", body, kind=rng.choice(["doc", "skill", "learnings"]), pinned=i % 3 == 0,
                       approval=rng.choice(["approved", "changed", "none"]))
    prepared = _PreparedClient(engine)

    def client_calls_only():
        listing = prepared.list_pages(limit=50)
        for row in listing["pages"]:
            prepared.get_page(row["page_id"])

    docs = [d for d in refresh.derive_registry(engine)[0]]
    approved = [copy.replace(d, approval="approved", pinned=True) for d in _mixed_docs(200, seed=9)]
    shown = refresh.handshake_text(approved, cap_chars=10**9, kelvo_first=False).split("\n\n")
    assert len(docs) == 50
    return [
        Workload("derive_registry 50 pages, in-memory engine", lambda: refresh.derive_registry(engine),
                 note="includes the stand-in's deep copies"),
        Workload("derive_registry 50 pages, prepared replies", lambda: refresh.derive_registry(prepared),
                 client_calls_only, "the 51 client calls alone"),
        Workload("handshake_text 200 approved docs", lambda: refresh.handshake_text(approved),
                 lambda s=shown: "\n\n".join(s), '"\\n\\n".join(all blocks)', note="default 4,000 budget"),
    ]


def timer_workloads() -> list[Workload]:
    state = refresh.RefreshState(calls=10**12, minutes=10**6)
    state.tick()
    state.fired()  # every tick now reads the clock and answers False
    lock = threading.Lock()
    counter = [0]

    def locked_count():
        with lock:
            counter[0] += 1

    def across_threads(fn, threads=8, each=2_000):
        def work():
            for _ in range(each):
                fn()
        pool = [threading.Thread(target=work) for _ in range(threads)]
        for t in pool:
            t.start()
        for t in pool:
            t.join()

    return [
        Workload("RefreshState.tick, uncontended", state.tick, locked_count, "Python lock + counter"),
        Workload("RefreshState.tick x16,000 across 8 threads", lambda: across_threads(state.tick),
                 lambda: across_threads(locked_count), "same with Python lock + counter"),
    ]


WORKLOAD_BUILDERS += [digest_workloads, registry_workloads, timer_workloads]


# -- Short calls against plain Python ---------------------------------------------

import plain  # noqa: E402

PROSE = ("Before cutting a release, read the checklist doc and run every step in order; note anything that "
         "failed in the learnings doc, with the fix that worked, so the next session starts from it. Ask the "
         "user whenever a step is unclear or a check fails twice in a row.")[:230]
MARKER = refresh.make_sentinel("release-checklist", "skill", "before cutting any release \u2014 run every step",
                               True, 2)


def short_workloads() -> list[Workload]:
    assert len(PROSE) == 230
    # Half of them approved instructions, the other half docs the user has not approved.
    docs = [copy.replace(d, pinned=True, approval="approved") if i % 2 else copy.replace(d, approval="changed")
            for i, d in enumerate(_mixed_docs(1_000, seed=13))]
    assert sum(map(refresh.is_instruction, docs)) == 500
    for text in (PROSE, MARKER):
        assert refresh.parse_sentinel(text) == plain.parse_sentinel(text)
    assert refresh.instructions_version(docs) == plain.instructions_version(docs)
    # The Markdown pair at the sizes hosts meet: one doc at its limit, both ways, and a long page.
    text = md_doc(600)[:24000]
    blocks = refresh.markdown_to_blocks(text)
    page = mixed_page(2000)
    assert plain.markdown_to_blocks(text) == blocks
    assert plain.blocks_to_markdown(blocks) == refresh.blocks_to_markdown(blocks)
    assert plain.blocks_to_markdown(page) == refresh.blocks_to_markdown(page)
    return [
        Workload("markdown_to_blocks a 24,000-char doc", lambda: refresh.markdown_to_blocks(text),
                 lambda: plain.markdown_to_blocks(text), "plain Python"),
        Workload(f"blocks_to_markdown a 24,000-char doc ({len(blocks)} blocks)",
                 lambda: refresh.blocks_to_markdown(blocks), lambda: plain.blocks_to_markdown(blocks), "plain Python"),
        Workload("blocks_to_markdown 2,000-block page", lambda: refresh.blocks_to_markdown(page),
                 lambda: plain.blocks_to_markdown(page), "plain Python"),
        Workload("parse_sentinel 230 chars of prose", lambda: refresh.parse_sentinel(PROSE),
                 lambda: plain.parse_sentinel(PROSE), "plain Python", target=3.7),
        Workload("parse_sentinel a pinned skill's marker", lambda: refresh.parse_sentinel(MARKER),
                 lambda: plain.parse_sentinel(MARKER), "plain Python", target=82),
        Workload("instructions_version 1,000 docs", lambda: refresh.instructions_version(docs),
                 lambda: plain.instructions_version(docs), "plain Python", target=5200),
    ]


WORKLOAD_BUILDERS.append(short_workloads)
