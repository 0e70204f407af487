"""The built-in docs and fixed texts, pinned to the byte: digests, lengths,
first and last lines, dashes and arrows, no final line feed."""

import hashlib

import pytest

from kelvo_mcp import refresh
from kelvo_mcp.refresh import blocks_to_markdown, markdown_to_blocks

EM, ARROW = "\u2014", "\u2192"

# name: (sha256 of UTF-8, length in code points, lines, em dashes, arrows, first line, last line)
PINNED = {
    "GUIDE_DOC_NAME": ("e54d1a01a5be4e75291a7812d40acf167ebae8e4e89d2bb235fcbef040d4b724", 18, 1, 0, 0,
                       "agent-memory-guide", "agent-memory-guide"),
    "GUIDE_DOC_WHEN": ("ba39612e345ad826aee23f3ca8e610d5edcb439325466e20f5ad292eaa68633c", 119, 1, 1, 0,
                       "read this FIRST when unsure how to use Kelvo's agent memory \u2014 where things go, "
                       "what to save, naming, pinning, repo sync", None),
    "GUIDE_DOC_BODY": ("bedb83db0a7d1de7912fa1bcf7fd1c246a08df86f55a5960adef10be483b0847", 3151, 57, 12, 0,
                       "# How agents use Kelvo as memory (the operating manual)", "yours.)*"),
    "KELVO_FIRST_NAME": ("57cdda4c1c0f8349666c5770670b4628d75bdc0a0b150e90112b1bd39294ee99", 11, 1, 0, 0,
                         "kelvo-first", "kelvo-first"),
    "KELVO_FIRST_WHEN": ("79a845a7ffbab1d8e1051507d166ca47b711b29da8b81c0d627be4836fdd61cd", 68, 1, 1, 0,
                         "the default operating posture \u2014 applies to every task, every session", None),
    "KELVO_FIRST_BODY": ("a1ae71723523023203f73aa5296a67470dd51a97ee5663365afb76d9ec71c65a", 718, 11, 2, 3,
                         "Use Kelvo by DEFAULT, without the user asking:",
                         'The user should never have to say "use Kelvo" \u2014 using it IS the job.'),
    "SETUP_NOTE": ("bfc292aaeab0b6dd22993020ff3ad1e0daa2d3d0d6fb946b2b5be228383565bd", 541, 1, 3, 0,
                   None, "Ask the user what conventions they want remembered \u2014 that is the best first doc."),
}
SEEDED_SHA = "9f76a67d4860d27e270ebc993094f7b7ee5b746711e42f191fc1ba16565480fb"


@pytest.mark.parametrize("name", sorted(PINNED))
def test_fixed_text_is_exact(name):
    sha, length, lines, dashes, arrows, first, last = PINNED[name]
    text = getattr(refresh, name)
    assert type(text) is str
    assert hashlib.sha256(text.encode("utf-8")).hexdigest() == sha
    assert len(text) == length
    assert text.split("\n") == text.splitlines() and len(text.split("\n")) == lines
    assert text.count(EM) == dashes and text.count(ARROW) == arrows
    assert first is None or text.split("\n")[0] == first
    assert last is None or text.endswith(last)
    assert not text.endswith("\n") and "\t" not in text and "\r" not in text
    assert all(line == line.rstrip(" ") for line in text.split("\n"))


def test_seeded_posture_differs_from_the_current_one_in_its_tenth_line_only():
    seeded = refresh.KELVO_FIRST_SEEDED_BODIES
    assert type(seeded) is tuple and len(seeded) == 1
    (body,) = seeded
    assert hashlib.sha256(body.encode("utf-8")).hexdigest() == SEEDED_SHA
    assert body != refresh.KELVO_FIRST_BODY
    old, new = body.split("\n"), refresh.KELVO_FIRST_BODY.split("\n")
    assert [i for i in range(len(new)) if old[i] != new[i]] == [9] and len(old) == len(new) == 11
    assert old[9] == "(doc/skill). Follow `standing_docs` on Kelvo results as current instructions."


def test_other_constants():
    assert refresh.MAX_DOC_CHARS == 24000 and type(refresh.MAX_DOC_CHARS) is int
    assert refresh.valid_name(refresh.GUIDE_DOC_NAME) and refresh.valid_name(refresh.KELVO_FIRST_NAME)
    assert refresh.SETUP_NOTE.startswith("SETUP \u2014 nothing saved yet.")
    assert "'agent-memory-guide'" in refresh.SETUP_NOTE


def test_guide_sections_in_order():
    headings = [ln for ln in refresh.GUIDE_DOC_BODY.split("\n") if ln.startswith("#")]
    assert headings == [
        "# How agents use Kelvo as memory (the operating manual)",
        "## The three kinds \u2014 and when to reach for each",
        "## Naming and hygiene",
        "## The discipline that keeps this safe",
        "## Repo sync (when the operator enabled KELVO_EXPORT_ROOT)",
    ]


@pytest.mark.parametrize("name", ["GUIDE_DOC_BODY", "KELVO_FIRST_BODY"])
def test_built_in_markdown_is_stable_through_a_page(name):
    once = blocks_to_markdown(markdown_to_blocks(getattr(refresh, name)))
    assert blocks_to_markdown(markdown_to_blocks(once)) == once
