"""A catalogue of hostile argument values: what a confused host, a broken
engine reply or a malicious page could hand the modules.

Each entry is (label, factory); the factory makes a fresh value per call so a
value mutated by one call never leaks into the next. `small()` is the subset
cheap enough to repeat thousands of times (the leak and thread checks).
"""

from __future__ import annotations

import gc
import sys
from typing import Callable

DEPTH = 10**5
BIG = 10 * 1024 * 1024  # 10 MB of text

# Keys the engine's replies, pages, blocks, tool schemas and records use; a map
# holding a hostile value under each of them reaches past the first type check.
KEYS = (
    "block_type", "text", "order", "title", "id", "page_id", "blocks", "name", "kind",
    "when_to_use", "pinned", "v", "body", "approval", "updated_at", "detail", "loc",
    "msg", "role", "scopes", "capabilities", "pages", "items", "status", "op", "args",
    "input_schema", "inputSchema", "properties", "required", "description",
    "annotations", "has_more", "headers", "meta", "canvas", "icon", "__kelvo_agent_doc__",
    "source", "enabled", "calls", "minutes", "digest_chars", "type", "enum", "default",
)


class Boom(Exception):
    """Raised by the hostile objects below."""


def _raise(*_a, **_k):
    raise Boom("hostile")


def _interrupt(*_a, **_k):
    raise KeyboardInterrupt


class RaisingStr:
    def __str__(self):
        raise Boom("__str__")

    __repr__ = __format__ = __str__


class RaisingEq:
    __eq__ = __ne__ = __lt__ = __gt__ = __le__ = __ge__ = _raise

    def __hash__(self):
        return 7


class RaisingHash:
    __hash__ = _raise


class RaisingLen(list):
    __len__ = _raise


class RaisingIter(list):
    __iter__ = _raise


class RaisingBool:
    __bool__ = _raise


class RaisingIndex:
    __index__ = __int__ = __float__ = _raise


class RaisingGetattr:
    def __getattr__(self, name):
        raise Boom(name)


class InterruptingGetattr:
    def __getattr__(self, name):
        raise KeyboardInterrupt


class Chameleon:
    """Answers every attribute, call, item and iteration with itself."""

    def __getattr__(self, name):
        return self

    def __call__(self, *a, **k):
        return self

    def __getitem__(self, key):
        return self

    def __iter__(self):
        return iter((self, self))

    def __len__(self):
        return 2


class RaisingDict(dict):
    """A dict subclass whose Python-level accessors all raise; code that goes
    through the C API's dict functions sees its stored items instead."""

    __getitem__ = get = keys = items = values = __iter__ = __len__ = __contains__ = _raise


class PlainDictSub(dict):
    pass


class StrSub(str):
    def __str__(self):
        return "not the same"

    __eq__ = _raise
    __hash__ = str.__hash__


class IntSub(int):
    __index__ = __int__ = __float__ = _raise


class FloatSub(float):
    __float__ = __index__ = _raise


class Clearer:
    """Clears its container from every dunder a reader might call."""

    def __init__(self, box):
        self.box = box

    def _clear(self, *a):
        self.box.clear()
        return "x"

    def __str__(self):
        return self._clear()

    __repr__ = __format__ = __str__

    def __eq__(self, other):
        self._clear()
        return False

    def __hash__(self):
        self._clear()
        return 1

    def __bool__(self):
        self._clear()
        return True

    def __len__(self):
        self._clear()
        return 1

    def __iter__(self):
        self._clear()
        return iter(())

    def __float__(self):
        self._clear()
        return 1.0

    def __index__(self):
        self._clear()
        return 1


class MutatingDict(dict):
    """Mutates itself while being read through its Python-level methods."""

    def __getitem__(self, key):
        self.clear()
        self.update({f"k{i}": i for i in range(64)})
        raise KeyError(key)

    def get(self, key, default=None):
        self.clear()
        return default


def mutating_map() -> dict:
    box: dict = {}
    for key in KEYS:
        box[key] = Clearer(box)
    return box


def mutating_list() -> list:
    box: list = []
    box.extend(Clearer(box) for _ in range(8))
    box.append(mutating_map())
    return box


def deep_list():
    v: object = []
    for _ in range(DEPTH):
        v = [v]
    return v


def deep_dict():
    v: object = {}
    for key in ("text", "blocks", "detail", "items"):
        for _ in range(DEPTH // 4):
            v = {key: v}
    return v


class Client:
    """An engine client whose every method returns `value` (or raises it)."""

    def __init__(self, value):
        self._value = value

    def __getattr__(self, name):
        def method(*a, **k):
            v = self._value()
            if isinstance(v, BaseException):
                raise v
            return v

        return method


def keyed(value_factory: Callable[[], object]) -> Callable[[], dict]:
    return lambda: {k: value_factory() for k in KEYS}


# Scalars and simple objects: cheap, safe to repeat.
_SMALL: list[tuple[str, Callable[[], object]]] = [
    ("None", lambda: None),
    ("True", lambda: True),
    ("False", lambda: False),
    ("0", lambda: 0),
    ("-1", lambda: -1),
    ("2**63", lambda: 2**63),
    ("-2**64", lambda: -(2**64)),
    ("10**400", lambda: 10**400),
    ("nan", lambda: float("nan")),
    ("inf", lambda: float("inf")),
    ("-inf", lambda: float("-inf")),
    ("-0.0", lambda: -0.0),
    ("1e308", lambda: 1e308),
    ("complex", lambda: 1j),
    ("bytes", lambda: b"kelvo_page_get"),
    ("bytearray", lambda: bytearray(b"x")),
    ("empty str", lambda: ""),
    ("lone surrogate", lambda: "\ud800"),
    ("surrogates in text", lambda: "kelvo_page_get \udfff\ud800 name"),
    ("nul and controls", lambda: "a\x00b\x1b\r\x85\u2028\u2029\x0c"),
    ("astral", lambda: "\U0001f600\U0010ffff"),
    ("str subclass", lambda: StrSub("kelvo_page_get")),
    ("int subclass", lambda: IntSub(3)),
    ("float subclass", lambda: FloatSub(2.5)),
    ("empty list", lambda: []),
    ("empty dict", lambda: {}),
    ("tuple", lambda: ("a", 1)),
    ("set", lambda: {"a"}),
    ("object()", object),
    ("type", lambda: int),
    ("module", lambda: sys),
    ("Ellipsis", lambda: ...),
    ("raising __str__", RaisingStr),
    ("raising __eq__", RaisingEq),
    ("raising __hash__", RaisingHash),
    ("raising __len__", lambda: RaisingLen([1, 2])),
    ("raising __iter__", lambda: RaisingIter([1, 2])),
    ("raising __bool__", RaisingBool),
    ("raising __index__", RaisingIndex),
    ("raising __getattr__", RaisingGetattr),
    ("interrupting __getattr__", InterruptingGetattr),
    ("chameleon", Chameleon),
    ("dict subclass", lambda: PlainDictSub({k: "x" for k in KEYS})),
    ("raising dict subclass", lambda: RaisingDict({k: "x" for k in KEYS})),
    ("self-mutating dict", lambda: MutatingDict({k: "x" for k in KEYS})),
    ("map mutated by a callback", mutating_map),
    ("list mutated by a callback", mutating_list),
    ("callable raising KeyboardInterrupt", lambda: _interrupt),
    ("callable raising", lambda: _raise),
    ("callable returning None", lambda: (lambda *a, **k: None)),
    ("callable returning bytes", lambda: (lambda *a, **k: b"x")),
    ("callable returning nan", lambda: (lambda *a, **k: float("nan"))),
    ("client raising KeyboardInterrupt", lambda: Client(KeyboardInterrupt)),
    ("client raising", lambda: Client(lambda: Boom("engine"))),
    ("client returning None", lambda: Client(lambda: None)),
    ("client returning a mutating map", lambda: Client(mutating_map)),
    ("client returning keyed hostile maps", lambda: Client(keyed(RaisingStr))),
    ("list of None", lambda: [None, None]),
    ("list of ints", lambda: [0, -1, 2**70]),
]

# Small values placed inside a map under every known key, and inside a list
# of such maps, so the code reading pages and replies meets them too.
_NESTED_SOURCES = ("None", "True", "-1", "10**400", "nan", "bytes", "lone surrogate",
                   "nul and controls", "str subclass", "int subclass", "empty dict",
                   "object()", "raising __str__", "raising __eq__", "raising __hash__",
                   "raising __len__", "raising __iter__", "raising __bool__",
                   "raising __index__", "chameleon", "raising dict subclass",
                   "self-mutating dict", "callable raising KeyboardInterrupt")


def _nested() -> list[tuple[str, Callable[[], object]]]:
    by_label = dict(_SMALL)
    out = []
    for label in _NESTED_SOURCES:
        make = by_label[label]
        out.append((f"map of {label}", keyed(make)))
        out.append((f"list of maps of {label}", (lambda m: lambda: [keyed(m)(), keyed(m)()])(make)))
    return out


_LARGE: list[tuple[str, Callable[[], object]]] = [
    ("10 MB str", lambda: "a" * BIG),
    ("10 MB words", lambda: "kelvo_page_get word " * (BIG // 20)),
    ("10 MB astral", lambda: "\U0001f600" * (BIG // 4)),
    ("10 MB surrogates", lambda: "\ud800" * (BIG // 2)),
    ("100k lines", lambda: "- item\n# head\n1. one\n> quote\n" * 25_000),
    ("list of 10 MB str", lambda: ["a" * BIG]),
    ("map of 10 MB str", keyed(lambda: "a" * (BIG // 8))),
    ("deep list", deep_list),
    ("deep dict", deep_dict),
    ("list of deep dict", lambda: [deep_dict()]),
    ("100k-item list", lambda: [{"block_type": "paragraph", "text": "x", "order": i} for i in range(100_000)]),
    ("client returning a deep dict", lambda: Client(deep_dict)),
]


LARGE = {label for label, _ in _LARGE}

# Long texts: where a collection is asked for, one of these is a collection
# of millions of one-character strings, which says nothing the 100k-item list
# does not, at a hundred times its cost; the sweep gives them to the other
# parameters only.
LONG_TEXTS = {"10 MB str", "10 MB words", "10 MB astral", "10 MB surrogates", "100k lines"}
COLLECTIONS = ("Sequence[", "Iterable[", "Mapping[", "list[", "dict[", "tuple[")


def text_for(label: str, annotation: str) -> bool:
    """Whether the sweep gives value `label` to a parameter so annotated."""
    return label not in LONG_TEXTS or not annotation.startswith(COLLECTIONS)


def small() -> list[tuple[str, Callable[[], object]]]:
    return list(_SMALL) + _nested()


def _once(make: Callable[[], object]) -> Callable[[], object]:
    box: list[object] = []

    def get() -> object:
        if not box:
            box.append(make())
            # Out of the collector's sight: the sweep collects after every
            # parameter, and walking these each time would cost more than
            # the calls.
            gc.collect()
            gc.freeze()
        return box[0]

    return get


def catalogue() -> list[tuple[str, Callable[[], object]]]:
    """Every value. The large ones are drawn once and shared by every call:
    building them costs more than most calls that meet them, and the modules
    never change a value they are given (a call that did would show up as
    changed outcomes of the calls after it)."""
    return small() + [(label, _once(make)) for label, make in _LARGE]
