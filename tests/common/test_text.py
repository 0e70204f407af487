"""The shared layer's text rules against the interpreter's own: trim is
str.strip(), line splitting is str.splitlines(), over every code point."""

import sys

import pytest
from hypothesis import given, settings, strategies as st

from which_build import probe

_probe = probe()

ALL_CODE_POINTS = [chr(c) for c in range(sys.maxunicode + 1)]
WHITESPACE = "\t\n\x0b\x0c\r\x1c\x1d\x1e\x1f \x85\xa0\u1680" + "".join(
    chr(c) for c in range(0x2000, 0x200B)) + "\u2028\u2029\u202f\u205f\u3000"
LINE_BREAKS = "\n\x0b\x0c\r\x1c\x1d\x1e\x85\u2028\u2029"


def test_whitespace_set_is_exactly_the_listed_one():
    found = "".join(c for c in ALL_CODE_POINTS if _probe.is_space(c))
    assert found == WHITESPACE
    assert found == "".join(c for c in ALL_CODE_POINTS if c.isspace())
    assert not _probe.is_space("\u200b")


@pytest.mark.exhaustive
def test_line_break_set_is_exactly_the_listed_one():
    found = "".join(c for c in ALL_CODE_POINTS if _probe.is_linebreak(c))
    assert found == LINE_BREAKS


text_with_breaks = st.text(alphabet=st.sampled_from(list("ab \r\n\t") + list(LINE_BREAKS) + ["\ud800", "😀", "\xa0"]))


@settings(max_examples=300)
@given(text_with_breaks | st.text())
def test_trim_is_str_strip(text):
    assert _probe.trim_str(text) == text.strip()


def test_lone_surrogates_survive_every_text_helper():
    s = " \ud800x\udfff "
    assert _probe.trim_str(s) == "\ud800x\udfff"
    assert _probe.utf16_units("\ud800😀") == 3


def test_truthiness_and_string_form_follow_python():
    for v in [None, False, 0, 0.0, "", [], {}, True, 1, -1, "0", [0], {"": 0}, 0.5]:
        assert _probe.truthy(v) is bool(v)
    assert _probe.str_form(12) == "12"
    assert _probe.str_form(0.1) == "0.1"
    assert _probe.str_form(1e22) == "1e+22"
    assert _probe.str_form(True) == "True"
    assert _probe.str_form("x") == "x"

    class Bad:
        def __str__(self):
            raise LookupError("no text")

    with pytest.raises(LookupError, match="no text"):
        _probe.str_form(Bad())


@pytest.mark.parametrize("x", [0.0, -0.0, 1.0, 2.5, 0.1, 1e16, 1e-5, 123456789.0, 1.5e300, float("inf"), float("nan"),
                               45.0, -7.0, 100000.0, 999999.0, -999999.0, 999999.5, 1e6, -1e6, float("-inf")])
def test_float_formats_are_the_interpreters(x):
    assert _probe.float_repr(x) == repr(x)
    assert _probe.format_g(x) == format(x, "g")
