"""Deeply nested values fail fast in the JSON text form: the cost of refusing
a value nested past the stack grows with its depth, not with its square."""

import json
import time

import pytest

from which_build import probe

_probe = probe()


def _seconds(fn, v):
    start = time.perf_counter()
    with pytest.raises(RecursionError):
        fn(v)
    return time.perf_counter() - start


@pytest.mark.parametrize("wrap", [lambda v: [v], lambda v: {"text": v}], ids=["lists", "maps"])
def test_refusing_a_deep_value_costs_about_what_json_dumps_does(wrap):
    deep = []
    for _ in range(100_000):
        deep = wrap(deep)
    ours, theirs = _seconds(_probe.json_text, deep), _seconds(json.dumps, deep)
    # Was quadratic: every level scanned all the open containers (two minutes
    # under the debug interpreter, where json.dumps takes a tenth of a second).
    assert ours < 20 * theirs + 1.0


def test_a_container_seen_twice_side_by_side_is_not_circular():
    shared = [1]
    assert _probe.json_text([shared, shared, {"a": shared}]) == "[[1], [1], {\"a\": [1]}]"
