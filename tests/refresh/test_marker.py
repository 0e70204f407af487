"""Doc names and the doc marker: exact marker texts and records first, then
round trips and agreement with the name pattern, then malformed and hostile
texts (every one answers None or raises a Python error, never crashes)."""

import json
import re

import pytest
from hypothesis import given, settings, strategies as st

from kelvo_mcp import refresh
from kelvo_mcp.refresh import make_sentinel, parse_sentinel, valid_name


def marker(**members):
    return json.dumps({"__kelvo_agent_doc__": 1, "name": "a", **members})


def record(name="a", kind="doc", when_to_use="", pinned=False, v=1):
    return {"name": name, "kind": kind, "when_to_use": when_to_use, "pinned": pinned, "v": v}


# -- constants -----------------------------------------------------------------

def test_constants():
    assert refresh.SENTINEL_KEY == "__kelvo_agent_doc__"
    assert refresh.DOC_KINDS == ("doc", "skill", "learnings") and type(refresh.DOC_KINDS) is tuple
    assert refresh.MAX_DOC_NAME == 64 and refresh.MAX_WHEN_TO_USE == 200
    assert refresh._NAME_RE.pattern == "^[a-z0-9][a-z0-9._-]{0,63}$" and refresh._NAME_RE.flags == re.UNICODE
    assert refresh._ANY_SENTINEL_RE.pattern == '^\\s*\\{\\s*"__kelvo_[a-z_]+__"'
    assert refresh._ANY_SENTINEL_RE.flags == re.UNICODE


# -- names -------------------------------------------------------------------------

@pytest.mark.parametrize("name", ["a", "0", "a" * 64, "notes-aug-24", "v1.2_final", "9.-_"])
def test_valid_names(name):
    assert valid_name(name) is True
    assert valid_name(name=name) is True


@pytest.mark.parametrize("name", ["", None, "a" * 65, "-x", ".x", "_x", "Doc", "my doc", "\u00e4", "a\u00e4",
                                  " a", "a ", "a\n", "\uff41", "a\ud800", 5, b"abc", ["a"]])
def test_invalid_names(name):
    assert valid_name(name) is False


# -- writing -------------------------------------------------------------------------

def test_marker_text_is_exact():
    assert make_sentinel("release-checklist", "doc") == \
        '{"__kelvo_agent_doc__": 1, "name": "release-checklist", "kind": "doc", "v": 1}'
    assert make_sentinel("s", "skill", "before a bug", True, 3) == \
        '{"__kelvo_agent_doc__": 1, "name": "s", "kind": "skill", "when_to_use": "before a bug", "pinned": true, "v": 3}'
    assert make_sentinel(name="s", kind="doc", when_to_use="", pinned=False, v=2.9) == \
        '{"__kelvo_agent_doc__": 1, "name": "s", "kind": "doc", "v": 2}'


def test_marker_version_conversion():
    assert make_sentinel("a", "doc", v="7").endswith('"v": 7}')
    assert make_sentinel("a", "doc", v=-2.5).endswith('"v": -2}')
    assert make_sentinel("a", "doc", v=True).endswith('"v": 1}')
    assert make_sentinel("a", "doc", v=10 ** 30).endswith('"v": 1000000000000000000000000000000}')
    with pytest.raises(ValueError):
        make_sentinel("a", "doc", v="x")
    with pytest.raises(TypeError):
        make_sentinel("a", "doc", v=None)
    with pytest.raises(OverflowError):
        make_sentinel("a", "doc", v=float("inf"))


def test_marker_is_pure_ascii_json():
    text = make_sentinel("a", "doc", "caf\u00e9 \u2014 \U0001f600 \ud800 \"q\" \\ \n\t\x01\x7f")
    assert text.isascii() and "\n" not in text
    assert text == json.dumps({"__kelvo_agent_doc__": 1, "name": "a", "kind": "doc",
                               "when_to_use": "caf\u00e9 \u2014 \U0001f600 \ud800 \"q\" \\ \n\t\x01\x7f", "v": 1})
    assert "\\ud83d\\ude00" in text and "\\u2014" in text and "\\u007f" in text


def test_marker_arguments():
    with pytest.raises(TypeError):
        make_sentinel("a")
    with pytest.raises(TypeError):
        make_sentinel("a", "doc", "", False, 1, 2)
    with pytest.raises(TypeError):
        parse_sentinel()


# -- reading -------------------------------------------------------------------------

def test_round_trip_of_the_written_marker():
    text = make_sentinel("n\u00e4me-x", "skill", "w" * 250, True, 4)
    assert parse_sentinel(make_sentinel("x-1", "skill", "t\u00e9", True, 4)) == record("x-1", "skill", "t\u00e9", True, 4)
    assert parse_sentinel(text) is None  # not a valid name
    got = parse_sentinel(make_sentinel("ok", "learnings", "w" * 250))
    assert got == record("ok", "learnings", "w" * 200) and list(got) == ["name", "kind", "when_to_use", "pinned", "v"]


@pytest.mark.parametrize("members, expected", [
    ({}, record()),
    ({"name": "  spaced \u3000"}, record("spaced")),
    ({"name": 123}, record("123")),
    ({"kind": "Skill "}, record(kind="skill")),
    ({"kind": "LEARNINGS"}, record(kind="learnings")),
    ({"kind": "S\u212aILL"}, record(kind="skill")),  # KELVIN SIGN lowercases to k
    ({"kind": "note"}, record()),
    ({"kind": None}, record()),
    ({"kind": 0}, record()),
    ({"v": 0}, record()), ({"v": -3}, record()), ({"v": "7"}, record(v=7)), ({"v": " 8 "}, record(v=8)),
    ({"v": "x"}, record()), ({"v": None}, record()), ({"v": 3.7}, record(v=3)), ({"v": [2]}, record()),
    ({"v": "2.5"}, record()), ({"v": True}, record()), ({"v": 10 ** 30}, record(v=10 ** 30)),
    ({"pinned": "false"}, record(pinned=True)), ({"pinned": 0}, record()), ({"pinned": []}, record()),
    ({"pinned": {"a": 1}}, record(pinned=True)), ({"pinned": 0.5}, record(pinned=True)),
    ({"when_to_use": "  keep spaces  "}, record(when_to_use="  keep spaces  ")),
    ({"when_to_use": 12}, record(when_to_use="12")),
    ({"when_to_use": [1, "a"]}, record(when_to_use="[1, 'a']")),
    ({"when_to_use": False}, record()),
])
def test_member_readings(members, expected):
    assert parse_sentinel(marker(**members)) == expected


def test_version_out_of_float_range_reads_as_one():
    assert parse_sentinel('{"__kelvo_agent_doc__": 1, "name": "a", "v": 1e400}') == record()


def test_marker_value_truthiness_and_duplicates():
    assert parse_sentinel('{"__kelvo_agent_doc__": "yes", "name": "a"}') == record()
    for falsy in ("0", "false", "null", '""', "[]", "{}"):
        assert parse_sentinel('{"__kelvo_agent_doc__": %s, "name": "a"}' % falsy) is None
    assert parse_sentinel('{"__kelvo_agent_doc__": 0, "__kelvo_agent_doc__": 1, "name": "a", "name": "b"}') \
        == record("b")


@pytest.mark.parametrize("text", [
    None, "", "   ", "plain prose", '["__kelvo_agent_doc__"]', '"__kelvo_agent_doc__"',
    '{"name": "a"}', '{"__kelvo_agent_doc__": 1}', '{"__kelvo_agent_doc__": 1, "name": "Doc"}',
    '{"__kelvo_agent_doc__": 1, "name": "' + "a" * 65 + '"}',
    '{"__kelvo_agent_doc__": 1, "name": "a"} trailing', '{"__kelvo_agent_doc__": 1, "name": "a"}{}',
    'see {"__kelvo_agent_doc__": 1, "name": "a"}', "{'__kelvo_agent_doc__': 1, 'name': 'a'}",
    '{"__kelvo_agent_doc__": 1, "name": "a",}', '\ufeff{"__kelvo_agent_doc__": 1, "name": "a"}',
    '{"__kelvo_agent_doc__": NaN, "name": "a"}', '{"__kelvo_agent_doc__": 1, "name": "a", "v": Infinity}',
    '{"__kelvo_agent_doc__": 1, "name": "a", "v": -Infinity}',
    '{"__kelvo_agent_doc__": 1, "name": "a\\ud800"}', '{"__kelvo_agent_doc__": 1, "name": "a", "x": 1' + "0" * 5000 + "}",
    '{"__kelvo_agent_doc__": 1, "name": "a" \x00}',
])
def test_malformed_texts_answer_none(text):
    assert parse_sentinel(text) is None


def test_surrounding_whitespace_is_ignored():
    assert parse_sentinel(" \n\u2028\u3000" + marker() + "\t\x85 ") == record()
    assert parse_sentinel(text=marker()) == record()


def test_non_string_text():
    assert parse_sentinel(0) is None and parse_sentinel([]) is None
    with pytest.raises(AttributeError, match="'int' object has no attribute 'strip'"):
        parse_sentinel(5)
    with pytest.raises(TypeError, match="must be a str or None, not 'bytes'"):
        parse_sentinel(b'{"__kelvo_agent_doc__": 1, "name": "a"}')


# -- properties ------------------------------------------------------------------------

names = st.from_regex(r"\A[a-z0-9][a-z0-9._-]{0,63}\Z")


@settings(max_examples=150, deadline=None)
@given(names, st.sampled_from(refresh.DOC_KINDS), st.text(), st.booleans(), st.integers(1, 10 ** 20))
def test_written_markers_read_back(name, kind, when, pinned, v):
    text = make_sentinel(name, kind, when, pinned, v)
    assert text.isascii() and json.loads(text)["v"] == v
    assert parse_sentinel(text) == record(name, kind, when[:200], pinned, v)


@settings(max_examples=200, deadline=None)
@given(st.text(alphabet=st.sampled_from("az09._-A\n \u00e4\u0131\u212a"), max_size=70))
def test_valid_name_is_a_full_match_of_the_name_pattern(name):
    assert valid_name(name) == bool(re.fullmatch(r"[a-z0-9][a-z0-9._-]{0,63}", name))


@settings(max_examples=200, deadline=None)
@given(st.lists(st.sampled_from(['{', '"', '"__kelvo_', "agent_doc", "__", "_", "a", "A", " ", "\u3000", "\n",
                                 "}", '"__kelvo_agent_doc__"', ":", "1", "\ud800"]), max_size=12).map("".join))
def test_marker_pattern_matches_as_re_does(text):
    from kelvo_mcp.refresh import blocks_to_markdown
    hidden = blocks_to_markdown([{"text": text}]) == "" and text.strip() != ""
    assert hidden == bool(re.match(r'\s*\{\s*"__kelvo_[a-z_]+__"', text))


@settings(max_examples=150, deadline=None)
@given(st.recursive(st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(max_size=5),
                    lambda c: st.lists(c, max_size=3) | st.dictionaries(st.text(max_size=5), c, max_size=3)))
def test_any_json_member_values_read_without_error(value):
    for key in ("name", "kind", "when_to_use", "pinned", "v"):
        got = parse_sentinel(json.dumps({"__kelvo_agent_doc__": 1, "name": "a", key: value}))
        assert got is None or (valid_name(got["name"]) and got["kind"] in refresh.DOC_KINDS and got["v"] >= 1)


def reference_reading(text):
    """The marker record as the interpreter's own json and str methods read it."""
    t = (text or "").strip()
    if "__kelvo_agent_doc__" not in t:
        return None
    try:
        meta = json.loads(t, parse_constant=lambda word: int("not JSON"))
    except (ValueError, RecursionError):
        return None
    if not isinstance(meta, dict) or not meta.get("__kelvo_agent_doc__"):
        return None
    name = str(meta.get("name") or "").strip()
    if not valid_name(name):
        return None
    kind = str(meta.get("kind") or "doc").strip().lower()
    try:
        v = max(int(meta.get("v", 1)), 1)
    except (TypeError, ValueError, OverflowError):
        v = 1
    return record(name, kind if kind in refresh.DOC_KINDS else "doc", str(meta.get("when_to_use") or "")[:200],
                  bool(meta.get("pinned")), v)


flat_values = (st.none() | st.booleans() | st.integers(-10 ** 20, 10 ** 20) | st.floats(allow_nan=False)
               | st.text(alphabet=st.sampled_from('ab "\\/\b\f\n\r\t\x01\x1f~\x7f\u00e9\u2014\ud800\U0001f600 '),
                         max_size=8)
               | st.sampled_from(["guide", " Skill ", "LEARNINGS", "7", "x", "", "a-b.c_d"]))


@settings(max_examples=400, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(["__kelvo_agent_doc__", "name", "kind", "when_to_use", "pinned", "v",
                                           "other", "N\u00e4me"]), flat_values), max_size=8),
       st.sampled_from(["", " ", "\n", "\t", "\r\n ", "\u3000"]), st.booleans())
def test_hand_written_markers_read_as_the_reference_reads_them(members, pad, ascii_only):
    # Written by hand, so keys repeat, members come in any order and the
    # spacing varies; every reading must agree with the reference's.
    body = (", " if ascii_only else ",\n").join(
        json.dumps(k, ensure_ascii=ascii_only) + (": " if ascii_only else ":")
        + json.dumps(v, ensure_ascii=ascii_only) for k, v in [("__kelvo_agent_doc__", 1), ("name", "guide"), *members])
    text = pad + "{" + pad.strip("\u3000") + body + "}" + pad
    assert parse_sentinel(text) == reference_reading(text)


@pytest.mark.parametrize("text", [
    '{"__kelvo_agent_doc__": 1, "name": "a", "v": 007}', '{"__kelvo_agent_doc__": 1, "name": "a", "v": -}',
    '{"__kelvo_agent_doc__": 1, "name": "a", "v": 1.}', '{"__kelvo_agent_doc__": 1, "name": "a", "v": 2e0}',
    '{"__kelvo_agent_doc__": 1, "name": "a", "v": 123456789012345678901}', '{"__kelvo_agent_doc__": 1, "name": "a",}',
    '{"__kelvo_agent_doc__": 1, "name": "a\\ud83d\\ude00"}', '{"__kelvo_agent_doc__": 1, "name": "\\u0061"}',
    '{"__kelvo_agent_doc__": NaN, "name": "a"}', '{"__kelvo_agent_doc__": 1, "name": "a"} x',
    '{"__kelvo_agent_doc__": 1, "name": "a\x00"}', '{"__kelvo_agent_doc__": 1 "name": "a"}',
    '{"__kelvo_agent_doc__": tru, "name": "a"}', '{"__kelvo_agent_doc__": 1, "name": "a", "v": -0}',
    '{"__kelvo_agent_doc__": 1, "name": "a", "when_to_use": "\\x"}', '{"__kelvo_agent_doc__": 1, "name": "a\\u00"}',
])
def test_marker_texts_at_the_edge_of_json(text):
    assert parse_sentinel(text) == reference_reading(text)


# -- hostile inputs ----------------------------------------------------------------------

@pytest.mark.parametrize("depth", [10, 1_000, 100_000, 1_000_000])
def test_pathological_nesting_answers_none_or_reads(depth):
    nested = "[" * depth + "]" * depth
    got = parse_sentinel('{"__kelvo_agent_doc__": 1, "name": "a", "when_to_use": %s}' % nested)
    assert got is None or got["when_to_use"] == str(json.loads(nested))[:200]
    assert parse_sentinel('{"__kelvo_agent_doc__": %s, "name": "a"}' % nested) in (None, record())
    assert parse_sentinel('{"__kelvo_agent_doc__": 1, "x": ' + "{" * depth) is None


def test_ten_megabyte_marker_text():
    big = marker(when_to_use="w" * 10_000_000)
    assert parse_sentinel(big)["when_to_use"] == "w" * 200
    assert parse_sentinel(" " * 10_000_000 + "__kelvo_agent_doc__") is None


def test_make_sentinel_passes_serialisation_errors_through():
    with pytest.raises(TypeError, match="not JSON serializable"):
        make_sentinel(object(), "doc")

    class Boom:
        def __bool__(self):
            raise RuntimeError("no truth")

    with pytest.raises(RuntimeError, match="no truth"):
        make_sentinel("a", "doc", pinned=Boom())


def test_repeated_calls_hold_no_memory():
    import tracemalloc

    texts = [marker(kind="S\u212aILL", v="7", when_to_use=[1, {"a": None}]), marker(name="Bad"), "[" * 50_000,
             '{"__kelvo_agent_doc__": NaN}', make_sentinel("a", "doc", "\ud800", True, 3)]

    def work():
        for t in texts:
            parse_sentinel(t)
        valid_name("a-b")
        try:
            make_sentinel("a", "doc", v="x")
        except ValueError:
            pass

    for _ in range(100):
        work()
    tracemalloc.start()
    try:
        # Caches warmed in the first round may stay; a leak grows every round.
        held = []
        for _ in range(3):
            for _ in range(500):
                work()
            held.append(tracemalloc.get_traced_memory()[0])
        assert held[2] - held[1] < 10_000, held
    finally:
        tracemalloc.stop()
