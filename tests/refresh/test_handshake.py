"""The handshake text: every fixed text and shape, the budget rule, the
respelling of tool names, and hostile inputs."""

import re

import pytest
from hypothesis import given, settings, strategies as st

from kelvo_mcp import refresh as r

POSTURE_HEADING = "KELVO-FIRST (Kelvo's default operating posture):"
FAIL_START = 'Standing instructions could not be read at startup'
FAIL_END = " — call kelvo_docs_refresh to load the user's approved instructions."
NOTHING_APPROVED = 'No standing instructions are approved yet. Docs an agent saves as pinned or as skills become instructions only when the user approves them in the Kelvo app.'
HEADING_START = 'STANDING INSTRUCTIONS — approved by the user in the Kelvo app (version '
HEADING_END = '). Follow them:'
LEFT_START = "Also approved but not shown here (over the handshake's "
LEFT_AFTER_BUDGET = '-character budget): '
LEFT_END = ' — call kelvo_docs_refresh to read them in full.'
SKILLS_HEADING = 'Approved skills — when a trigger matches the task, read the body with kelvo_doc_get(name) first:'

D = r.DocInfo


def doc(name, kind="doc", *, pinned=True, approval="approved", when="", body="text", page_id=None):
    return D(name, kind, name, when, pinned, page_id or "pg-" + name, "2025-01-01", body, 1, approval)


def seed():
    stored = r.blocks_to_markdown(r.markdown_to_blocks(r.KELVO_FIRST_SEEDED_BODIES[0]))
    return doc(r.KELVO_FIRST_NAME, body=stored)


POSTURE = POSTURE_HEADING + "\n" + r.KELVO_FIRST_BODY


def heading(docs):
    return HEADING_START + r.instructions_version(docs) + HEADING_END


def reference(docs, cap_chars=4000, error=None, display=None, kelvo_first=True):
    """The handshake written plainly; the left-out note respells its own words only."""
    def fix(text):
        if display is None:
            return text
        return re.sub(r"kelvo_[a-z_]+", lambda m: m[0] if m[0].endswith("__") else display(m[0]), text)

    parts = [fix(POSTURE)] if kelvo_first else []
    if docs is None:
        parts.append(fix(FAIL_START + (f" ({error})" if error else "") + FAIL_END))
        return "\n\n".join(parts)
    docs = r.visible_docs(docs)
    if docs and not r.approvals_reported(docs):
        return "\n\n".join(parts + [r.UNREPORTED_NOTE])
    instr = [d for d in docs if r.is_instruction(d) and d.kind != "skill"]
    skills = [d for d in docs if r.is_instruction(d) and d.kind == "skill"]
    if not instr and not skills:
        return "\n\n".join(parts + [NOTHING_APPROVED])
    out = [heading(docs)]
    left = cap_chars - len(out[0])
    skipped = []
    for d in instr:
        block = f"## {d.name}\n{d.body.strip()}"
        if len(block) + 2 <= left:
            out.append(block)
            left -= len(block) + 2
        else:
            skipped.append(d.name)
    if skipped:
        out.append(fix(f"{LEFT_START}{cap_chars:,}{LEFT_AFTER_BUDGET}") + ", ".join(skipped) + fix(LEFT_END))
    if skills:
        out.append(fix(SKILLS_HEADING) + "\n" + "\n".join(f"- {d.name}: {r._one_liner(d)}" for d in skills))
    return "\n\n".join(parts + ["\n\n".join(out)])


# --- exact texts and shapes ---------------------------------------------------

def test_registry_unreadable():
    assert r.handshake_text(None, error="timeout", kelvo_first=False) == FAIL_START + " (timeout)" + FAIL_END
    assert r.handshake_text(None, kelvo_first=False) == FAIL_START + FAIL_END
    assert r.handshake_text(None, error="", kelvo_first=False) == FAIL_START + FAIL_END
    assert r.handshake_text(None, error="x") == POSTURE + "\n\n" + FAIL_START + " (x)" + FAIL_END


def test_nothing_approved_and_unreported():
    assert r.handshake_text([]) == POSTURE + "\n\n" + NOTHING_APPROVED
    assert r.handshake_text([seed()], kelvo_first=False) == NOTHING_APPROVED
    assert r.handshake_text([doc("a", approval="none"), doc("b", pinned=False)], kelvo_first=False) == NOTHING_APPROVED
    unknown = [doc("a", approval="unknown"), doc("b", approval="unknown")]
    assert r.handshake_text(unknown, kelvo_first=False) == r.UNREPORTED_NOTE
    assert r.handshake_text([doc("a"), doc("b", approval="unknown")], kelvo_first=False) == r.UNREPORTED_NOTE


def test_normal_text():
    docs = [doc("rules", body="\n  Always test.\n\n"), doc("notes", pinned=False),
            doc("deploy", "skill", pinned=False, when="before a release"), doc("triage", "skill", body="\nFirst\nx")]
    text = r.handshake_text(docs)
    assert text == (POSTURE + "\n\n" + heading(docs) + "\n\n## rules\nAlways test.\n\n" + SKILLS_HEADING
                    + "\n- deploy: before a release\n- triage: First")
    assert r.handshake_text(docs, kelvo_first=False) == text[len(POSTURE) + 2:]


def test_skills_only_follow_the_heading():
    docs = [doc("deploy", "skill", when="w")]
    assert r.handshake_text(docs, kelvo_first=False) == heading(docs) + "\n\n" + SKILLS_HEADING + "\n- deploy: w"


def test_left_out_docs_and_budget():
    docs = [doc("first", body="a" * 100), doc("second", body="b" * 5000), doc("third", body="c" * 100)]
    text = r.handshake_text(docs, kelvo_first=False)
    assert text == (heading(docs) + "\n\n## first\n" + "a" * 100 + "\n\n## third\n" + "c" * 100 + "\n\n"
                    + LEFT_START + "4,000" + LEFT_AFTER_BUDGET + "second" + LEFT_END)
    tight = r.handshake_text(docs, cap_chars=len(heading(docs)) + 1, kelvo_first=False)
    assert tight == heading(docs) + "\n\n" + LEFT_START + str(len(heading(docs)) + 1) + LEFT_AFTER_BUDGET \
        + "first, second, third" + LEFT_END
    assert LEFT_START + "1,234,567" + LEFT_AFTER_BUDGET in r.handshake_text(
        [doc("big", body="x" * 1_300_000)], cap_chars=1_234_567)
    assert LEFT_START + "10.5" in r.handshake_text(docs, cap_chars=10.5)


def test_block_exactly_at_the_budget_is_shown():
    docs = [doc("a", body="xyz")]
    exact = len(heading(docs)) + len("## a\nxyz") + 2
    assert "## a\nxyz" in r.handshake_text(docs, cap_chars=exact)
    assert "## a\nxyz" not in r.handshake_text(docs, cap_chars=exact - 1)


def test_respelling_through_display():
    def display(name):
        return {"kelvo_doc_get": "kelvo_doc(op='get')"}.get(name, name.upper())

    docs = [doc("guide", "skill", pinned=False, body="Use kelvo_doc_get here."),
            doc("kelvo_doc_get", body="mentions kelvo_doc_get", pinned=True)]
    text = r.handshake_text(docs, display=display)
    assert "read the body with kelvo_doc(op='get')(name) first:" in text
    assert "## kelvo_doc_get\nmentions kelvo_doc_get" in text
    assert "- guide: Use kelvo_doc_get here." in text
    assert "KELVO_ANSWER or KELVO_SEARCH FIRST" in text  # the posture block
    note = r.handshake_text(docs, cap_chars=0, display=display, kelvo_first=False).split("\n\n")[1]
    # The doc keeps its own name; the note's own words are respelled.
    assert note == LEFT_START + "0" + LEFT_AFTER_BUDGET + "kelvo_doc_get" + LEFT_END.replace(
        "kelvo_docs_refresh", "KELVO_DOCS_REFRESH")
    failure = r.handshake_text(None, error="kelvo_x failed; __kelvo_agent__ kept", display=display, kelvo_first=False)
    assert failure == (FAIL_START + " (KELVO_X failed; __kelvo_agent__ kept)"
                       + FAIL_END.replace("kelvo_docs_refresh", "KELVO_DOCS_REFRESH"))


def test_unreported_and_nothing_approved_are_not_respelled():
    seen = []
    r.handshake_text([doc("a", approval="unknown")], display=seen.append, kelvo_first=False)
    r.handshake_text([], display=seen.append, kelvo_first=False)
    assert seen == []


# --- properties ----------------------------------------------------------------

names = st.text(alphabet=st.sampled_from("abz-_é\U0001f600"), min_size=1, max_size=8).map(lambda s: "d" + s) \
    | st.sampled_from(["kelvo_doc_get", "kelvo__x__"])
bodies = st.text(alphabet=st.sampled_from("ab \n\té\u2028\ud800kelvo_x"), max_size=60)
handshake_docs = st.lists(st.builds(lambda name, kind, pinned, approval, body, when: doc(
    name, kind, pinned=pinned, approval=approval, body=body, when=when),
    names, st.sampled_from(["doc", "skill", "learnings"]), st.booleans(),
    st.sampled_from(["approved", "approved", "changed", "none"]), bodies, st.sampled_from(["", "t kelvo_a"])),
    max_size=12)


@settings(max_examples=150, deadline=None)
@given(handshake_docs, st.integers(-10, 1500) | st.floats(-10, 1500, allow_nan=False),
       st.none() | st.just(str.upper), st.booleans())
def test_matches_plain_reference(docs, cap, display, kelvo_first):
    assert r.handshake_text(docs, cap_chars=cap, display=display, kelvo_first=kelvo_first) == reference(
        docs, cap, display=display, kelvo_first=kelvo_first)


@settings(max_examples=60, deadline=None)
@given(handshake_docs, st.integers(0, 1500))
def test_shown_blocks_stay_within_budget(docs, cap):
    text = r.handshake_text(docs, cap_chars=cap, kelvo_first=False)
    if text.startswith(HEADING_START):
        shown = text.split("\n\n" + LEFT_START)[0].split("\n\n" + SKILLS_HEADING)[0]
        head = shown.split("\n\n")[0]
        assert len(shown) - len(head) <= max(cap - len(head), 0)


# --- hostile inputs ----------------------------------------------------------

def test_display_errors_pass_and_non_text_is_refused():
    def boom(name):
        raise LookupError(name)

    with pytest.raises(LookupError, match="kelvo_answer"):
        r.handshake_text([], display=boom)
    with pytest.raises(TypeError, match="expected str instance, int found"):
        r.handshake_text([], display=len)
    assert r.handshake_text([], display=boom, kelvo_first=False) == NOTHING_APPROVED


def test_bad_shapes_raise():
    with pytest.raises(TypeError):
        r.handshake_text(5)
    with pytest.raises(TypeError):
        r.handshake_text([doc("a")], 100)  # cap_chars is named-only
    with pytest.raises(TypeError):
        r.handshake_text([doc("a")], cap_chars="many")
    with pytest.raises(AttributeError):
        r.handshake_text([D("a", "doc", "t", "", True, "p", None, None, 1, "approved")])

    class Error:
        def __str__(self):
            raise RuntimeError("no words")

    with pytest.raises(RuntimeError, match="no words"):
        r.handshake_text(None, error=Error())
    assert r.handshake_text([doc("a")], cap_chars=10**40, kelvo_first=False).endswith("## a\ntext")
    assert LEFT_START in r.handshake_text([doc("a")], cap_chars=-10**40)


def test_display_text_written_as_returned_not_through_str():
    class Odd(str):
        def __str__(self):
            return "WRONG"

    text = r.handshake_text([], display=lambda n: Odd(n.upper()))
    assert "WRONG" not in text and "KELVO_" in text
    assert "kelvo_" not in r.handshake_text([], display=lambda n: None).replace("__kelvo_", "")
