"""The JSON text form is byte-identical to json.dumps(v, ensure_ascii=True)."""

import json

import pytest
from hypothesis import given, settings, strategies as st

from which_build import probe

_probe = probe()

scalars = (st.none() | st.booleans() | st.integers() | st.integers(min_value=-(2**200), max_value=2**200)
           | st.floats(allow_nan=True, allow_infinity=True) | st.text())
values = st.recursive(scalars, lambda inner: st.lists(inner, max_size=4)
                      | st.dictionaries(st.text(max_size=5), inner, max_size=4), max_leaves=20)


@settings(max_examples=400)
@given(values)
def test_json_text_matches_json_dumps(v):
    assert _probe.json_text(v) == json.dumps(v, ensure_ascii=True)


@pytest.mark.parametrize("v", [
    "\x00\x1f\x7f\x80\u2028\ud800\udfff😀\"\\/\b\f\n\r\t",
    {1: "a", 2.5: "b", None: "d", -0.0: "e"},
    {True: "c", False: "f"},
    (1, [2, (3,)]),
    {"a": {"b": []}, "": {}},
    [float("nan"), float("inf"), -float("inf"), 1e300, 5e-324],
    2**1000,
])
def test_json_text_edge_values(v):
    assert _probe.json_text(v) == json.dumps(v, ensure_ascii=True)


def test_json_text_refuses_what_json_refuses():
    with pytest.raises(TypeError, match="not JSON serializable"):
        _probe.json_text({"a": object()})
    with pytest.raises(TypeError, match="keys must be str"):
        _probe.json_text({(1,): 1})
    with pytest.raises(TypeError):
        _probe.json_text(b"bytes")
    loop = []
    loop.append(loop)
    with pytest.raises(ValueError, match="Circular reference"):
        _probe.json_text(loop)


def test_json_text_survives_deep_nesting():
    deep = []
    for _ in range(200_000):
        deep = [deep]
    with pytest.raises(RecursionError):
        _probe.json_text(deep)
    shallow = [[[[1]]]]
    assert _probe.json_text(shallow) == "[[[[1]]]]"


def test_int_and_float_subclasses_use_the_base_text():
    class Loud(int):
        def __repr__(self):
            return "LOUD"

    class F(float):
        def __repr__(self):
            return "F"

    assert _probe.json_text([Loud(3), F(1.5)]) == json.dumps([Loud(3), F(1.5)]) == "[3, 1.5]"


@pytest.mark.parametrize("text", [
    "a" * 300,                                   # one run, one byte a character
    "\"" + "b" * 70 + "\\",                       # escapes at both ends of a run
    "\xe9" * 3 + "plain" * 20 + "\xff",          # one byte a character, not ASCII
    "\u2014" + "c" * 200 + "\n" + "d" * 5,       # two bytes a character, long ASCII runs
    "\U0001f600" + "e" * 150 + "\t\U0010ffff",   # four bytes a character
    "\ud800" + "f" * 64 + "\udfff" + "g",        # lone surrogates around a run
    "",
])
def test_strings_written_a_run_at_a_time_match_json_dumps(text):
    # Inside containers too, so runs follow other output.
    for v in (text, [text, text], {text: text}):
        assert _probe.json_text(v) == json.dumps(v, ensure_ascii=True)
