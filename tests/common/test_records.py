"""Record types: immutable, value-equal, hashable like a frozen dataclass."""

import copy
import gc
import pickle
import weakref

import pytest

from which_build import probe

_probe = probe()

Point = _probe.Point


def test_construction_by_position_and_name_with_defaults():
    p = Point(1, y=2)
    assert (p.x, p.y, p.label, p.tags) == (1, 2, "", [])
    assert Point(1, 2, "a", [3]) == Point(x=1, y=2, label="a", tags=[3])
    assert Point(1, 2).tags is not Point(1, 2).tags  # a fresh list per record
    assert Point.__match_args__ == ("x", "y", "label", "tags")


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "missing 2 required positional arguments: 'x' and 'y'"),
    ((1,), {}, "missing 1 required positional argument: 'y'"),
    ((1, 2, 3, 4, 5), {}, "takes from 3 to 5 positional arguments but 6 were given"),
    ((1, 2), {"nope": 1}, "unexpected keyword argument 'nope'"),
    ((1, 2), {"x": 1}, "multiple values for argument 'x'"),
])
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError, match=message):
        Point(*args, **kwargs)


def test_fields_are_read_only():
    p = Point(1, 2)
    with pytest.raises(AttributeError):
        p.x = 3
    with pytest.raises(AttributeError):
        p.other = 3
    with pytest.raises(AttributeError):
        del p.y


def test_equality_hash_and_repr():
    assert Point(1, 2) == Point(1, 2) and Point(1, 2) != Point(1, 3)
    assert Point(1, 2) != (1, 2, "", [])
    assert hash(Point(1, 2, "a", ())) == hash(Point(1, 2, "a", ())) == hash((1, 2, "a", ()))
    with pytest.raises(TypeError, match="unhashable"):
        hash(Point(1, 2))  # the default tags list
    assert repr(Point(1, "b")) == "Point(x=1, y='b', label='', tags=[])"


def test_replace_copy_and_pickle():
    p = Point(1, 2, "a", [1])
    q = copy.replace(p, y=5)
    assert q == Point(1, 5, "a", [1]) and q.tags is p.tags
    with pytest.raises(TypeError, match="unexpected keyword argument 'z'"):
        copy.replace(p, z=1)
    assert copy.deepcopy(p) == p and copy.deepcopy(p).tags is not p.tags
    assert pickle.loads(pickle.dumps(p)) == p


def test_cycles_through_records_are_collected():
    class Box:
        pass

    box = Box()
    p = Point(box, 2)
    box.p = p
    ref = weakref.ref(box)
    del box, p
    gc.collect()
    assert ref() is None


def test_recursive_repr_does_not_loop():
    tags = []
    p = Point(1, 2, "", tags)
    tags.append(p)
    assert repr(p) == "Point(x=1, y=2, label='', tags=[...])"
