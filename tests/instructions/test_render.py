"""render: paragraph selection by visible tools, the lean text, the compact
sentence swaps, respelled tool names and the closing paragraph."""

import re
import threading

import pytest
from hypothesis import given, settings, strategies as st

from kelvo_mcp import instructions
from kelvo_mcp.instructions import COMPACT_REWRITES, NEEDS, paragraphs, render
from kelvo_mcp.prompts import SERVER_INSTRUCTIONS, SERVER_INSTRUCTIONS_LEAN

P = SERVER_INSTRUCTIONS.split("\n\n")


def joined(*numbers):
    return "\n\n".join(P[n - 1] for n in numbers)


def test_module_shape():
    assert instructions.__all__ == ("COMPACT_REWRITES", "NEEDS", "mentions", "paragraphs", "render")
    authoring, docs, sync = instructions._PAGE_AUTHORING, instructions._DOCS, instructions._REPO_SYNC
    assert NEEDS == (frozenset(), authoring, authoring, authoring, authoring, authoring, frozenset(), docs, sync)
    assert docs == {"kelvo_docs_refresh", "kelvo_doc_get", "kelvo_doc_save", "kelvo_learn"}
    assert sync == {"kelvo_docs_export", "kelvo_page_export", "kelvo_page_import"}
    assert len(authoring) == 8 and "kelvo_page_get" not in authoring
    assert instructions._TOOL_RE.pattern == "kelvo_[a-z_]+" and instructions._TOOL_RE.flags == re.UNICODE
    assert paragraphs() == P and paragraphs() is not paragraphs()


def test_compact_rewrites_texts():
    assert [old for old, _ in COMPACT_REWRITES] == [
        "At session start, call kelvo_docs_refresh and follow what comes back:",
        "Save in the other direction too, DURING the session rather than when asked: when the user states a "
        "lasting convention or preference, kelvo_doc_save it",
        "when you learn something worth keeping — a fix that worked, a gotcha, a failed approach — "
        "kelvo_learn it (append-only, dated).",
    ]
    assert [new for _, new in COMPACT_REWRITES] == [
        "ONCE per session — not before every task, and never when a digest already arrived — call "
        "kelvo_docs_refresh and follow what comes back:",
        "Save in the other direction too, but only what the USER states — a lasting convention or preference "
        "in their words, never a record of your own actions — and kelvo_doc_save it",
        "when you learn something worth keeping — a fix that worked, a gotcha, a failed approach — "
        "kelvo_learn it (append-only, dated); do not log routine, successful tool calls.",
    ]
    assert all(SERVER_INSTRUCTIONS.count(old) == 1 for old, _ in COMPACT_REWRITES)


@pytest.mark.parametrize("visible, numbers", [
    ([], (1, 7)),
    (["kelvo_page_get", "kelvo_search"], (1, 7)),
    (["kelvo_page_move"], (1, 2, 3, 4, 5, 6, 7)),
    (("kelvo_page_move", "kelvo_doc_get"), (1, 2, 3, 4, 5, 6, 7, 8)),
    ({"kelvo_page_move", "kelvo_doc_get", "kelvo_page_import"}, tuple(range(1, 10))),
    (iter(["kelvo_learn", "kelvo_docs_export"]), (1, 7, 8, 9)),
])
def test_paragraph_selection(visible, numbers):
    assert render(visible) == joined(*numbers)


def test_profiles():
    vis = ["kelvo_page_write", "kelvo_learn"]
    full = render(vis)
    assert render(vis, profile="compact") == render(vis, profile="other") == render(vis, profile=None) == full
    assert render([], profile="lean") == render(["kelvo_page_move"], profile="lean") == SERVER_INSTRUCTIONS_LEAN
    compact = render(vis, profile="compact", rewrites=COMPACT_REWRITES)
    expected = full
    for old, new in COMPACT_REWRITES:
        expected = expected.replace(old, new)
    assert compact == expected and compact != full


def test_lean_text_takes_swaps_names_and_extra():
    out = render([], profile="lean", rewrites=COMPACT_REWRITES, display=str.upper, extra="Use kelvo_doc_get.")
    lean = SERVER_INSTRUCTIONS_LEAN.replace(COMPACT_REWRITES[0][0], COMPACT_REWRITES[0][1])
    assert out == re.sub("kelvo_[a-z_]+", lambda m: m.group(0).upper(), lean) + "\n\nUse kelvo_doc_get."
    assert "ONCE per session" in out and "KELVO_DOC_GET(name)" in out


def test_display_respells_names_but_not_marker_keys():
    out = render(["kelvo_doc_get"], display=str.upper)
    assert "KELVO_DOC_GET(name)" in out and "kelvo_doc_get" not in out
    assert "__kelvo_agent_doc__" in out


def test_swaps_chain_and_run_before_respelling():
    out = render([], profile="lean", rewrites=[("kelvo_search", "kelvo_find"), ("kelvo_find", "kelvo_lookup")],
                 display=lambda name: f"<{name}>")
    assert "<kelvo_lookup> finds" in out


def test_display_result_is_literal_and_none_drops_the_name():
    assert r"\g<0>\1" in render([], profile="lean", display=lambda name: r"\g<0>\1")
    assert "kelvo_" not in render([], profile="lean", display=lambda name: None)


def test_extra():
    assert render([], extra="Note.") == joined(1, 7) + "\n\nNote."
    assert render([], extra="") == joined(1, 7)
    # The closing paragraph is the host's own: neither swapped nor respelled.
    old = COMPACT_REWRITES[0][0]
    assert render([], display=str.upper, rewrites=COMPACT_REWRITES, extra=old).endswith("\n\n" + old)


# --- properties against a plain reading ---

def plain_render(visible, display=None, profile="full", extra="", rewrites=()):
    vis = set(visible)
    if profile == "lean":
        text = SERVER_INSTRUCTIONS_LEAN
    else:
        text = "\n\n".join(p for p, need in zip(P, NEEDS) if not need or need & vis)
    for old, new in rewrites:
        text = text.replace(old, new)
    if display is not None:
        text = re.sub("kelvo_[a-z_]+", lambda m: m.group(0) if m.group(0).endswith("__") else display(m.group(0)), text)
    return text + "\n\n" + extra if extra else text


names = st.sampled_from(sorted(set().union(*NEEDS) | {"kelvo_search", "kelvo_page_get"}))
swaps = st.lists(st.tuples(st.sampled_from(["kelvo_", "page", "—", "the", "\n\n", "x"]),
                           st.text(alphabet="kelvo_ap\n—", max_size=8)), max_size=3)


@settings(max_examples=80)
@given(st.lists(names, max_size=6), st.sampled_from(["full", "lean", "compact"]), swaps | st.just(COMPACT_REWRITES),
       st.text(max_size=5),
       st.booleans())
def test_render_matches_plain_reading(visible, profile, rewrites, extra, respell):
    display = (lambda n: n[6:].upper()) if respell else None
    assert render(visible, display=display, profile=profile, extra=extra, rewrites=rewrites) == plain_render(
        visible, display, profile, extra, rewrites)


# --- hostile arguments: Python's own errors, word for word ---

def raised(fn):
    try:
        fn()
    except Exception as e:  # noqa: BLE001 - the error itself is compared
        return type(e), str(e)
    return None


@pytest.mark.parametrize("rewrites", [
    [("a",)], [("a", "b", "c")], [["a", "b", "c"]], [5], ["abc"], ["ab"], [{"a": 1, "b": 2, "c": 3}],
    [(1, "x")], [("x", None)], None, 3, [range(1)], [range(3)],
])
def test_bad_rewrites_fail_like_python(rewrites):
    expected = raised(lambda: plain_render([], rewrites=rewrites))
    assert raised(lambda: render([], rewrites=rewrites)) == expected


@pytest.mark.parametrize("kwargs", [
    {"display": lambda name: 7},
    {"display": lambda name: None if "search" in name else b"x" if "forget" in name else name},
    {"display": lambda name: name if "canvas" in name else ["x"]},
    {"display": 5},
    {"extra": 5},
    {"extra": ["x"]},
])
def test_bad_display_and_extra_fail_like_python(kwargs):
    expected = raised(lambda: plain_render([], **kwargs))
    assert expected is not None and raised(lambda: render([], **kwargs)) == expected


def test_host_errors_pass_through():
    class Refused(Exception):
        pass

    def display(name):
        raise Refused(name)

    with pytest.raises(Refused, match="kelvo_search"):
        render([], display=display)

    class Odd:
        def __eq__(self, other):
            raise Refused("profile")

        __hash__ = object.__hash__

    with pytest.raises(Refused):
        render([], profile=Odd())
    with pytest.raises(TypeError):
        render([["kelvo_doc_get"]])
    with pytest.raises(TypeError):
        render(5)


def test_extra_that_adds_itself():
    class Tail:
        def __radd__(self, other):
            return other + "tail"

    assert render([], extra=Tail()) == joined(1, 7) + "\n\ntail"


def test_argument_errors():
    with pytest.raises(TypeError):
        render([], str.upper)
    with pytest.raises(TypeError):
        render()
    with pytest.raises(TypeError):
        render([], colour="blue")


def test_concurrent_renders_agree():
    want = render(["kelvo_page_move", "kelvo_learn"], display=str.upper, rewrites=COMPACT_REWRITES)
    results = []

    def work():
        for _ in range(200):
            results.append(render(["kelvo_page_move", "kelvo_learn"], display=str.upper, rewrites=COMPACT_REWRITES))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 800 and set(results) == {want}
