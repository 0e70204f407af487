"""mentions: the tool names a text speaks of, marker keys left out."""

import re

import pytest
from hypothesis import given, settings, strategies as st

from kelvo_mcp.instructions import mentions


@pytest.mark.parametrize("text, names", [
    ("call kelvo_doc_get, then kelvo_learn; kelvo_doc_get again", {"kelvo_doc_get", "kelvo_learn"}),
    ("the first block holds __kelvo_agent_doc__", set()),
    ("kelvo_page2 and kelvo_9 and kelvo_", {"kelvo_page"}),       # digits end a name
    ("xkelvo_doc_get", {"kelvo_doc_get"}),                          # no word boundary
    ("kelvo_Doc kelvo_é KELVO_DOC", set()),
    ("kelvo__ kelvo_a__b kelvo_a__", {"kelvo_a__b"}),
    ("kelvo_kelvo_learn", {"kelvo_kelvo_learn"}),
    ("\udc80kelvo_learn\U0001f600", {"kelvo_learn"}),
    ("", set()),
])
def test_mentions(text, names):
    found = mentions(text)
    assert found == names and type(found) is set


def test_mentions_of_a_str_subclass_gives_plain_strs():
    class Text(str):
        pass

    assert [type(n) for n in mentions(Text("use kelvo_learn"))] == [str]


@settings(max_examples=150)
@given(st.lists(st.sampled_from(["kelvo_", "_", "a", "z", "K", "9", " ", "é", "\U0001f600"]), max_size=30).map("".join))
def test_mentions_match_the_pattern(text):
    assert mentions(text) == {m for m in re.findall("kelvo_[a-z_]+", text) if not m.endswith("__")}


@pytest.mark.parametrize("bad, message", [
    (5, "expected string or bytes-like object, got 'int'"),
    (None, "expected string or bytes-like object, got 'NoneType'"),
    (b"kelvo_learn", "cannot use a string pattern on a bytes-like object"),
])
def test_mentions_refuses_non_text(bad, message):
    with pytest.raises(TypeError, match=re.escape(message)):
        mentions(bad)
