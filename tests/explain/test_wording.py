"""Possible causes, rendered calls and the not-found sentence."""

import itertools
import math
import signal

import pytest
from hypothesis import given, settings, strategies as st

from kelvo_mcp import explain

CALL_HOME = "kelvo_page_get(id='p1')"
CALL_WORK = "kelvo_page_get(id='p1', canvas='work')"
NOT_FOUND_EXAMPLE = "no page 'p1' in the home workspace; possible cause: it was deleted. To see what exists: kelvo_page_list()."


def test_export_list():
    assert sorted(explain.__all__) == [
        "call", "engine_reason", "http_failure", "not_found", "possible", "timeout", "timeout_phase"]
    for name in [*explain.__all__, "_clean", "_budget"]:
        assert callable(getattr(explain, name))


# -- possible ----------------------------------------------------------------

@pytest.mark.parametrize("causes,expected", [
    ([], ""),
    (["", ""], ""),
    ((c for c in ["", None, 0, []]), ""),
    (["a"], "possible cause: a"),
    (["a", "b"], "possible causes: a; or b"),
    (["a", "b", "c"], "possible causes: a; b; or c"),
    (["", "a", None, "b", 0, "c", []], "possible causes: a; b; or c"),
    (iter(["x", "y"]), "possible causes: x; or y"),
    ("ab", "possible causes: a; or b"),
    ([5], "possible cause: 5"),
    (["a", 5], "possible causes: a; or 5"),
    (["a", ["b"]], "possible causes: a; or ['b']"),
])
def test_possible(causes, expected):
    assert explain.possible(causes) == expected


def test_possible_non_string_before_last_fails_the_join():
    with pytest.raises(TypeError) as ours:
        explain.possible([5, "b"])
    with pytest.raises(TypeError) as python:
        "; ".join([5])
    assert str(ours.value) == str(python.value)


def test_possible_of_non_iterable_raises_type_error():
    with pytest.raises(TypeError):
        explain.possible(5)


# -- call --------------------------------------------------------------------

def test_call_examples():
    assert explain.call("kelvo_page_get", "home", id="p1") == CALL_HOME
    assert explain.call("kelvo_page_get", canvas="work", id="p1") == CALL_WORK
    assert explain.call("t") == "t()"
    assert explain.call("t", canvas="home", x=1) == "t(x=1)"
    assert explain.call("t", None, b=1, a=2) == "t(b=1, a=2)"
    assert explain.call("t", "", x=1) == "t(x=1)"
    assert explain.call(tool="t", canvas="w") == "t(canvas='w')"


@pytest.mark.parametrize("value,text", [
    ("p1", "'p1'"),
    ("it's", '"it\'s"'),
    ("it's \"x\"", "'it\\'s \"x\"'"),
    ("a\\b\n\r\t", "'a\\\\b\\n\\r\\t'"),
    ("\x01\x7f\u200b\U000e0001", "'\\x01\\x7f\\u200b\\U000e0001'"),
    ("\u00e9\u6f22\U0001f600", "'\u00e9\u6f22\U0001f600'"),
    ("\ud800", "'\\ud800'"),
    (7, "7"), (-10**30, "-" + "1" + "0" * 30),
    (2.0, "2.0"), (0.5, "0.5"), (1e16, "1e+16"), (0.1 + 0.2, "0.30000000000000004"),
    (math.inf, "inf"), (-math.inf, "-inf"), (math.nan, "nan"),
    (True, "True"), (False, "False"), (None, "None"),
    ([1, "a", [None]], "[1, 'a', [None]]"), ([], "[]"),
    ({"k": [1.0], "j": {}}, "{'k': [1.0], 'j': {}}"),
])
def test_call_renders_values(value, text):
    assert explain.call("t", v=value) == f"t(v={text})"


JSON = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=8),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=4), inner, max_size=4),
    max_leaves=12)


@settings(max_examples=150, deadline=None)
@given(st.dictionaries(st.from_regex(r"[a-z_]{1,6}", fullmatch=True).filter(lambda k: k not in ("tool", "canvas")),
                       JSON, max_size=4),
       st.sampled_from([None, "", "home", "work", "\u00e9"]))
def test_call_is_python_repr_of_each_argument(arguments, canvas):
    expected = dict(arguments)
    if canvas and canvas != "home":
        expected["canvas"] = canvas
    text = ", ".join(f"{k}={v!r}" for k, v in expected.items())
    assert explain.call("tool_x", canvas, **arguments) == f"tool_x({text})"


# -- not_found ---------------------------------------------------------------

def test_not_found_example():
    assert explain.not_found("page", "p1", "home", ["it was deleted"], "kelvo_page_list()") == NOT_FOUND_EXAMPLE


@pytest.mark.parametrize("canvas,place", [
    ("home", "the home workspace"), (None, "the home workspace"), ("", "the home workspace"),
    ("work", "canvas work"), ("Home", "canvas Home"),
])
def test_not_found_place(canvas, place):
    assert explain.not_found("node", 3, canvas, []) == f"no node 3 in {place}; ."


def test_not_found_without_causes_keeps_the_semicolon_before_the_next_call():
    assert (explain.not_found("doc", "it's", None, ["", None], next_call="kelvo_doc_list()")
            == "no doc \"it's\" in the home workspace; . To see what exists: kelvo_doc_list().")
    assert explain.not_found("doc", None, "w", ["a", "b"], "") == "no doc None in canvas w; possible causes: a; or b."


def reference_not_found(kind, ident, canvas, causes, next_call=None):
    kept = [c for c in causes if c]
    reason = ("" if not kept else f"possible cause: {kept[0]}" if len(kept) == 1
              else "possible causes: " + "; ".join(kept[:-1]) + f"; or {kept[-1]}")
    place = f"canvas {canvas}" if canvas and canvas != "home" else "the home workspace"
    text = f"no {kind} {ident!r} in {place}; {reason}."
    return text + f" To see what exists: {next_call}." if next_call else text


# Text of every storage width, lone surrogates included: each message is one
# result built from pieces of several widths, and must be the str Python
# builds (equal only when stored in the same, narrowest width).
widths = st.text(alphabet=st.sampled_from(["a", "'", '"', "\\", "\n", "\x7f", "\xe9", "\xff", "\u0100", "\u2014",
                                           "\ud800", "\U0001f600", " "]), max_size=6)


@settings(max_examples=300, deadline=None)
@given(widths, widths, widths | st.none(), st.lists(widths, max_size=4) | st.tuples(widths, widths),
       widths | st.none())
def test_sentences_of_mixed_widths_are_the_strs_python_builds(kind, ident, canvas, causes, next_call):
    assert explain.not_found(kind, ident, canvas, causes, next_call) == reference_not_found(
        kind, ident, canvas, causes, next_call)
    assert explain.possible(iter(causes)) == explain.possible(list(causes))
    assert explain.call(kind, canvas, x=ident, y=[ident, kind]) == (
        f"{kind}(x={ident!r}, y={[ident, kind]!r}" + (f", canvas={canvas!r})" if canvas and canvas != "home" else ")"))


# -- hostile input -----------------------------------------------------------

class Loud:
    def __repr__(self):
        raise LookupError("repr")

    def __str__(self):
        raise LookupError("str")


class Grumpy(str):
    def __ne__(self, other):
        raise ArithmeticError("ne")

    __hash__ = str.__hash__


def test_host_errors_pass_through():
    with pytest.raises(LookupError, match="repr"):
        explain.call("t", x=Loud())
    with pytest.raises(LookupError, match="str"):
        explain.call(Loud())
    with pytest.raises(ArithmeticError):
        explain.call("t", Grumpy("w"))
    with pytest.raises(LookupError, match="repr"):
        explain.not_found("page", Loud(), None, [])
    with pytest.raises(LookupError, match="str"):
        explain.possible(["a", Loud()])


class QuietStr(str):
    def __str__(self):
        raise LookupError("str")


def test_strings_are_used_as_they_are():
    assert explain.call(QuietStr("t"), QuietStr("w")) == "t(canvas='w')"
    assert explain.possible(["a", QuietStr("b")]) == "possible causes: a; or b"
    assert explain.not_found(QuietStr("page"), "p", QuietStr("w"), [], QuietStr("n()")) == (
        "no page 'p' in canvas w; . To see what exists: n().")


def test_deep_and_cyclic_values():
    deep = []
    for _ in range(100_000):
        deep = [deep]
    with pytest.raises(RecursionError):
        explain.call("t", v=deep)
    loop = []
    loop.append(loop)
    assert explain.call("t", v=loop) == "t(v=[[...]])"


def test_dict_subclass_value_uses_its_repr():
    class Tagged(dict):
        def __repr__(self):
            return "Tagged()"
    assert explain.call("t", v=Tagged(a=1)) == "t(v=Tagged())"


def test_endless_causes_can_be_interrupted():
    class Stop(Exception):
        pass

    def ring(*_):
        raise Stop

    old = signal.signal(signal.SIGALRM, ring)
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    try:
        with pytest.raises(Stop):
            explain.possible(itertools.repeat(0))
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)


def test_argument_errors():
    with pytest.raises(TypeError):
        explain.call()
    with pytest.raises(TypeError):
        explain.call("t", "c", "extra")
    with pytest.raises(TypeError):
        explain.call("t", tool="again")
    with pytest.raises(TypeError):
        explain.not_found("page", "p1", "home")
    with pytest.raises(TypeError):
        explain.not_found("page", "p1", "home", [], None, "more")
    with pytest.raises(TypeError):
        explain.possible()
