"""Host objects that change what the core is reading while it reads it.

Each object below runs Python code from a hook the core calls (items(),
__iter__, __len__, __eq__, __hash__, __str__, __index__, __float__, a name
map, a clock) and uses it to clear, shrink, grow or drop the very container
being read. Every case ends in the interpreter's own result or a Python
exception, never a crash; the sanitizer lane runs this file too.
"""

import json

import pytest

from kelvo_mcp import capabilities, explain, instructions, refresh, surfaces as S

# -- the hostile objects -------------------------------------------------------


class SharedItems(dict):
    """A map whose items() hands out one list of its own; reading a nested
    value's items() clears that list (the pairs and their values go with it)."""

    def __init__(self, n=3):
        super().__init__(real=1)
        self.shared = [(f"k{i}", Clearer(self)) for i in range(n)]

    def items(self):
        return self.shared


class Clearer(dict):
    def __init__(self, owner):
        super().__init__(real=1)
        self.owner = owner

    def items(self):
        self.owner.shared.clear()
        return []


class ShrinksList(dict):
    """A map inside a list; writing it empties the list around it."""

    def __init__(self, outer):
        super().__init__(real=1)
        self.outer = outer

    def items(self):
        self.outer.clear()
        return [("gone", "x" * 50)]


class Pair:
    """A (key, value) pair given as a sequence: its own __iter__ clears the
    items() list that holds it, dropping the last reference to it."""

    def __init__(self, owner, key, value):
        self.owner, self.key, self.value = owner, key, value

    def __iter__(self):
        self.owner.pairs.clear()
        return iter((self.key, self.value))


class PairsMap:
    """A mapping whose items() is a list of Pair objects."""

    def __init__(self, entries):
        self.pairs = [Pair(self, k, v) for k, v in entries]

    def items(self):
        return self.pairs

    def __len__(self):
        return len(self.pairs)

    def __iter__(self):
        return iter([p.key for p in self.pairs])

    def __getitem__(self, key):
        raise KeyError(key)


class HookStr(str):
    """A str that runs `hook` when compared, hashed, sized or turned into text."""

    hook = staticmethod(lambda: None)

    def __eq__(self, other):
        type(self).hook()
        return str.__eq__(self, other)

    def __hash__(self):
        type(self).hook()
        return str.__hash__(self)

    def __len__(self):
        type(self).hook()
        return str.__len__(self)

    def __str__(self):
        type(self).hook()
        return "WRONG"


def hook_str(text, hook):
    cls = type("Hooked", (HookStr,), {"hook": staticmethod(hook)})
    return cls(text)


class Number:
    """A number whose conversion runs `hook` first."""

    def __init__(self, value, hook):
        self.value, self.hook = value, hook

    def __index__(self):
        self.hook()
        return int(self.value)

    __int__ = __index__

    def __float__(self):
        self.hook()
        return float(self.value)


# -- the JSON text form (doc marker, digest) -----------------------------------


def marker_name(name):
    text = refresh.make_sentinel(name, "doc")
    return text[text.index('"name": ') + 8:text.index(', "kind": ')]


def shrinking_list():
    outer = []
    outer.extend([ShrinksList(outer), 1, 2, 3])
    return outer


def growing_list():
    outer = [1]
    outer.insert(0, Grows(outer))
    return outer


class Grows(dict):
    def __init__(self, outer):
        super().__init__(real=1)
        self.outer = outer

    def items(self):
        self.outer.append(len(self.outer))
        return [("grew", True)]


class Hook(dict):
    def __init__(self, hook):
        super().__init__(real=1)
        self.hook = hook

    def items(self):
        self.hook()
        return [("x", 1)]


def plain_dict_changed_ahead(change):
    """A plain dict whose first value's items() changes the dict around it:
    json walks a plain dict live, so the change shows in what follows."""
    def make():
        outer = {}
        outer["a"] = Hook(lambda: change(outer))
        outer["b"], outer["c"] = 2, 3
        return outer
    return make


@pytest.mark.parametrize("make", [SharedItems, shrinking_list, growing_list, lambda: {"a": SharedItems()},
                                  plain_dict_changed_ahead(dict.clear), plain_dict_changed_ahead(dict.popitem),
                                  plain_dict_changed_ahead(lambda d: d.setdefault("grown", [1]))])
def test_marker_name_changed_while_written_is_written_as_json_does(make):
    assert marker_name(make()) == json.dumps(make())


def doc(name, kind="doc", approval="approved"):
    return refresh.DocInfo(name, kind, name.title(), "", False, name, None, "", 1, approval)


def test_digest_extra_written_while_it_clears_itself():
    docs = [doc(f"note-{i}") for i in range(5)]
    got = refresh.build_digest(docs, extra={"x": SharedItems()}, now=0)
    assert isinstance(got["x"], SharedItems) and got["docs"] == [d.name for d in docs]


def test_digest_conversions_that_empty_the_docs_list():
    docs = [doc(f"note-{i}") for i in range(40)]
    expected = refresh.build_digest(list(docs), cap_chars=300, now=5)
    got = refresh.build_digest(docs, cap_chars=Number(300, docs.clear), now=Number(5, docs.clear))
    assert got == expected


# -- surfaces ------------------------------------------------------------------

GET_SCHEMA = {"type": "object", "properties": {"op": {"type": "string", "enum": ["get", "list"]}}}


def family(ops, name="kelvo_page_read", schema=GET_SCHEMA):
    return S.SurfaceTool(name, "t", "d", schema, {}, list(ops.items()) if isinstance(ops, dict) else [], ops)


def test_alias_lines_with_pairs_that_drop_themselves():
    ops = PairsMap([("get", "kelvo_page_get"), ("list", "kelvo_page_list")])
    # The first pair clears the list it sat in: the walk ends after it.
    assert S.alias_lines([family(ops)]) == "kelvo_page_get → kelvo_page_read op=get"


def test_op_summary_with_pairs_that_drop_themselves():
    ops = PairsMap([("get", "kelvo_page_get"), ("list", "kelvo_page_list")])
    tool = S.SurfaceTool("kelvo_page_read", "t", "d", GET_SCHEMA, {}, ["kelvo_page_get"], ops)
    with pytest.raises(Exception) as err:
        S.resolve_call([tool], "kelvo_page_read", {"op": "nope"})
    assert type(err.value).__name__ == "ToolInputError"


def test_resolve_call_name_that_empties_the_surface():
    surface = S.build_surface("compact")
    expected = S.resolve_call(list(surface), "kelvo_page_read", {"op": "get", "page_id": "p"})
    live = list(surface)
    name = hook_str("kelvo_page_read", live.clear)
    assert S.resolve_call(live, name, {"op": "get", "page_id": "p"}) == expected
    live = list(surface)
    name = hook_str("kelvo_page_read", live.clear)
    assert S.ignored_args(live, name, {"op": "get", "page_id": "p", "x": 1}) == ["x"]


def test_resolve_call_args_whose_keys_empty_the_surface():
    surface = list(S.build_surface("compact"))
    args = {hook_str("page_id", surface.clear): "p", "op": "get"}
    name, got = S.resolve_call(surface, "kelvo_page_read", args)
    assert name == "kelvo_page_get" and got == {"page_id": "p"}


def test_respelling_with_a_name_map_that_empties_the_reply():
    reply = {"note": "see kelvo_page_get", "detail": {"a": "kelvo_page_get", "b": 2}, "x": [1]}
    calls = []

    def disp(name):
        calls.append(name)
        reply.clear()
        return "kelvo_page_read(op='get')"

    with pytest.raises(RuntimeError, match="changed size"):
        S.respell_guidance(reply, disp)
    schema = {"description": "use kelvo_page_get", "properties": {"a": {"description": "kelvo_page_list"}}}
    with pytest.raises(RuntimeError, match="changed size"):
        S._respell(family({}, schema=schema), lambda n: schema.clear() or n)


def test_respelling_with_a_name_map_that_drops_the_text():
    holder = {"note": "see " + "kelvo_page_get " * 3}

    def disp(name):
        holder.clear()
        return name.upper()

    assert S.respell_guidance(holder, lambda n: n.upper()) == {"note": "see " + "KELVO_PAGE_GET " * 3}
    with pytest.raises(RuntimeError):
        S.respell_guidance(holder, disp)


# -- explain, capabilities, instructions ---------------------------------------


class Reply:
    def __init__(self, body):
        self.body = body

    def json(self):
        return self.body


def test_validation_items_whose_text_empties_the_lists():
    loc = ["body"]
    detail = []
    part = Stringy(lambda: (loc.clear(), detail.clear()), "blocks")
    loc.append(part)
    detail.extend([{"loc": loc, "msg": "bad"}, {"loc": ["body", "x"], "msg": "second"}])
    assert explain.engine_reason(Reply({"detail": detail})) == "blocks: bad; x: second"


class Stringy:
    def __init__(self, hook, text):
        self.hook, self.text = hook, text

    def __str__(self):
        self.hook()
        return self.text


class Client:
    def __init__(self, ident):
        self.ident = ident

    def whoami(self):
        return self.ident

    def list_pages(self, **kw):
        return []


def test_identity_lists_emptied_while_read():
    scopes, caps = [], []
    scopes.extend([hook_str("read", scopes.clear), "write"])
    caps.extend([hook_str(" pages ", caps.clear), "graph"])
    got = capabilities.resolve(Client({"role": "member", "scopes": scopes, "capabilities": caps}))
    # Truthiness of the first scope empties the list: the walk ends there.
    assert got.scopes == ("read",) and got.pages in (True, False)


def test_rewrite_pair_list_emptied_while_replaced():
    pair = []
    pair.extend([hook_str("kelvo", pair.clear), "KELVO"])
    got = instructions.render([], rewrites=[pair], extra="")
    assert isinstance(got, str)


# -- the timer's clock ---------------------------------------------------------


def test_clock_that_drops_the_state_it_reads_for():
    holder = {}

    def clock():
        holder.clear()
        return 100.0

    holder["s"] = refresh.RefreshState(clock=clock)
    state = holder["s"]
    assert state.tick() in (True, False)
    del state
