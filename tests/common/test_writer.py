"""The text writer against plain str operations: whatever the mix of widths,
lengths and kinds of piece, the result equals the joined pieces, stored in
the narrowest width (str equality compares widths first; isascii() reads the
ASCII flag), and repr() of any value reads exactly as the interpreter's."""

from hypothesis import given, settings, strategies as st

from which_build import probe

_probe = probe()

# Characters of every storage width, lone surrogates and the ones repr escapes.
CHARS = st.sampled_from("ab '\"\\\n\t\x00\x7f\x80\xe9\xff\u0100\u2014\ud800\uffff\U0001f600\U0010ffff")
TEXT = st.text(CHARS, max_size=40) | st.text(st.sampled_from("abc '"), min_size=200, max_size=700)
VALUES = (TEXT | st.integers() | st.integers(-(2**70), 2**70) | st.booleans() | st.none() | st.floats()
          | st.lists(st.integers() | st.booleans() | st.none() | TEXT, max_size=20)
          | st.tuples(TEXT) | st.tuples() | st.tuples(st.integers(), st.floats()))


class Loud(str):
    def __str__(self):
        return "loud"

    def __repr__(self):
        return "LOUD"


@st.composite
def steps(draw):
    how = draw(st.sampled_from(["plain", "str", "repr", "text", "ascii", "sub"]))
    if how == "repr":
        value = draw(VALUES)
        return (how, value), repr(value)
    if how == "ascii":
        value = draw(st.text(st.characters(max_codepoint=127), max_size=300))
        return (how, value), value
    value = draw(TEXT)
    if how == "sub":
        b = draw(st.integers(0, len(value)))
        e = draw(st.integers(0, len(value)))
        return (how, (value, b, e)), value[b:e]
    return (how, value), value


@settings(max_examples=600)
@given(st.lists(steps(), max_size=12))
def test_writer_equals_the_joined_pieces(drawn):
    ops = [op for op, _ in drawn]
    expected = "".join(text for _, text in drawn)
    out = _probe.write(ops)
    assert out == expected
    assert out.isascii() == all(c < "\x80" for c in out)


def test_results_are_stored_in_the_narrowest_width():
    # A wide piece first, then short one-byte ones; a slice of a wide str
    # that holds only ASCII stays one byte wide.
    assert _probe.write([("plain", "\U0001f600"), ("ascii", "ab")]) == "\U0001f600ab"
    narrow = _probe.write([("sub", ("ab\u2014", 0, 2))])
    assert narrow == "ab" and narrow.isascii()
    assert _probe.write([("sub", ("a\xe9\u2014", 0, 2))]) == "a\xe9"


def test_subclasses_keep_their_own_forms():
    loud = Loud("quiet")
    assert _probe.write([("plain", loud), ("str", loud), ("repr", loud)]) == "quietloudLOUD"
    assert _probe.write([("repr", True), ("repr", None), ("repr", -(2**63)), ("repr", 2**64)]) == (
        f"TrueNone{-(2**63)}{2**64}")
