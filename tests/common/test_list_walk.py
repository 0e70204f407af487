"""A walk over a caller's list ends where the interpreter's own loop over it
ends, whatever is done to the list between two steps (on a free-threaded
build, another thread may shrink it at any moment): never IndexError."""

import pytest

from which_build import probe

_probe = probe()

# What is done to the list after item i is taken.
STEPS = {
    "nothing": lambda lst, i: None,
    "shrinks past the next item": lambda lst, i: i == 1 and lst.__delitem__(slice(2, None)),
    "is cleared": lambda lst, i: i == 0 and lst.clear(),
    "loses its head each step": lambda lst, i: lst.pop(0),
    "loses its tail each step": lambda lst, i: lst.pop(),
    "grows once": lambda lst, i: i == 3 and lst.extend(["x", "y"]),
    "shrinks to exactly the next index": lambda lst, i: i == 2 and lst.__delitem__(slice(3, None)),
}


@pytest.mark.parametrize("step", STEPS)
def test_a_list_changed_between_steps_ends_the_walk_as_a_for_loop_does(step):
    def loop(lst):
        seen = []
        for i, item in enumerate(lst):
            seen.append(item)
            STEPS[step](lst, i)
        return seen

    lst = list("abcdef")
    assert _probe.walk(lst, lambda i: STEPS[step](lst, i)) == loop(list("abcdef"))

