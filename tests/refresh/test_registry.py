"""The doc registry: the DocInfo and DocsConfig records, reading a page as a
doc, the canvas scan (order of requests, notes, errors), and the approval
predicates."""

import copy
import gc
import hashlib
import pickle
import weakref

import pytest
from hypothesis import given, settings, strategies as st

from kelvo_mcp import refresh as r
from kelvo_mcp.memory_engine import InMemoryEngine, PageNotFound, marker_text

TRUNCATED = ['docs canvas holds more than ', ' pages — only the first ', ' were scanned for agent docs']
BUDGET = ['registry scan stopped at its ', 's time budget after ', ' of ', ' pages — the digest covers what was read; kelvo_docs_refresh runs a full scan']

D = r.DocInfo


def truncated(n):
    return TRUNCATED[0] + str(n) + TRUNCATED[1] + str(n) + TRUNCATED[2]


def budget(b, i, p):
    return BUDGET[0] + b + BUDGET[1] + str(i) + BUDGET[2] + str(p) + BUDGET[3]


def doc(name="a", kind="doc", *, pinned=False, approval="approved", page_id="p1", updated_at="t", body=""):
    return D(name, kind, name, "", pinned, page_id, updated_at, body, 1, approval)


def marker_block(name="guide", order=0, **kw):
    return {"block_type": "paragraph", "text": marker_text(name, **kw), "order": order}


# --- the records ---------------------------------------------------------------

def test_docinfo_construction_defaults_and_repr():
    d = D("a", "doc", "A", "", False, "p1", None, "body")
    assert (d.v, d.approval) == (1, "unknown")
    assert d == D(name="a", kind="doc", title="A", when_to_use="", pinned=False, page_id="p1", updated_at=None,
                  body="body", v=1, approval="unknown")
    assert repr(d) == ("DocInfo(name='a', kind='doc', title='A', when_to_use='', pinned=False, page_id='p1', "
                       "updated_at=None, body='body', v=1, approval='unknown')")
    assert D.__match_args__ == ("name", "kind", "title", "when_to_use", "pinned", "page_id", "updated_at", "body",
                                "v", "approval")
    match d:
        case D("a", "doc", approval=state):
            assert state == "unknown"
        case _:
            pytest.fail("no match")
    with pytest.raises(TypeError):
        D("a", "doc")
    with pytest.raises(TypeError):
        D("a", "doc", "A", "", False, "p1", None, "body", 1, "approved", "extra")
    with pytest.raises(TypeError):
        D("a", "doc", "A", "", False, "p1", None, "body", colour="red")


def test_docinfo_is_immutable_with_value_semantics():
    d = doc()
    with pytest.raises(AttributeError):
        d.name = "b"
    with pytest.raises(AttributeError):
        del d.body
    assert d == copy.replace(d) and hash(d) == hash(copy.replace(d))
    assert d != copy.replace(d, approval="none") and d != ("a",)
    assert copy.replace(d, body="x").body == "x" and d.body == ""
    with pytest.raises(TypeError):
        copy.replace(d, colour="red")
    assert pickle.loads(pickle.dumps(d)) == d
    assert len({d, copy.replace(d), doc("b")}) == 2
    listy = copy.replace(d, updated_at=["not", "hashable"])
    with pytest.raises(TypeError, match="unhashable"):
        hash(listy)
    assert listy == copy.replace(listy)


def test_docinfo_cycles_are_collected():
    class Holder:
        pass

    holder = Holder()
    d = D("a", "doc", "A", "", False, "p", holder, "", 1, "none")
    holder.doc = d
    ref = weakref.ref(holder)
    del d, holder
    gc.collect()
    assert ref() is None


def test_docsconfig():
    c = r.DocsConfig()
    assert repr(c) == "DocsConfig(enabled=False, canvas='agent_docs', calls=12, minutes=10.0, digest_chars=2000)"
    assert r.DocsConfig(True, "x", 3) == r.DocsConfig(enabled=True, canvas="x", calls=3)
    assert copy.replace(c, minutes=2.5).minutes == 2.5
    with pytest.raises(AttributeError):
        c.enabled = True


def test_constants():
    assert (r.APPROVED, r.CHANGED, r.NONE, r.UNKNOWN) == ("approved", "changed", "none", "unknown")
    assert (r.MAX_REGISTRY_PAGES, r.DEFAULT_DOCS_CANVAS) == (50, "agent_docs")


def test_export_list():
    assert len(r.__all__) == 44 and len(set(r.__all__)) == 44
    assert all(hasattr(r, name) for name in r.__all__)
    assert "UNREPORTED_NOTE" in r.__all__ and "_approval_of" not in r.__all__ and "DIGEST_NOTE" not in r.__all__


# --- a page as a doc -------------------------------------------------------------

@pytest.mark.parametrize("detail, state", [
    ({}, "unknown"), ({"instruction": None}, "unknown"), ({"instruction": "approved"}, "unknown"),
    ({"instruction": {}}, "unknown"), ({"instruction": {"state": "approved"}}, "approved"),
    ({"instruction": {"state": "changed"}}, "changed"), ({"instruction": {"state": "none"}}, "none"),
    ({"instruction": {"state": "APPROVED"}}, "unknown"), ({"instruction": {"state": "pending"}}, "unknown"),
    ({"instruction": {"state": 1}}, "unknown"), (None, "unknown"),
])
def test_approval_of(detail, state):
    assert r._approval_of(detail) == state


def test_doc_from_page_fields():
    blocks = [{"text": "  ", "order": 0}, {"block_type": "heading_2", "text": "Use", "order": 3},
              marker_block("guide", order=1, kind="skill", when_to_use="when x", pinned=True, v=2),
              {"text": "Body line", "order": 5}]
    row = {"page_id": "pg1", "title": "", "updated_at": "2024-01-01"}
    detail = {"blocks": blocks, "title": "Guide", "updated_at": "2024-02-02", "instruction": {"state": "changed"}}
    assert r.doc_from_page(row, detail) == D("guide", "skill", "Guide", "when x", True, "pg1", "2024-02-02",
                                             "## Use\n\nBody line", 2, "changed")


def test_doc_from_page_fallbacks():
    only_marker = {"blocks": [marker_block("solo")]}
    d = r.doc_from_page({}, only_marker)
    assert (d.title, d.page_id, d.updated_at, d.body, d.approval) == ("solo", "", None, "", "unknown")
    assert r.doc_from_page({"page_id": 7, "title": 3.5, "updated_at": ""}, {"blocks": [marker_block("x")],
                                                                             "page_id": "ignored"}).page_id == "7"
    assert r.doc_from_page({"updated_at": ""}, only_marker).updated_at == ""  # the row's own falsy value
    assert r.doc_from_page({"updated_at": "r"}, {**only_marker, "updated_at": 0}).updated_at == "r"
    assert r.doc_from_page({"title": 0}, {**only_marker, "page_id": "d"}).page_id == "d"


def test_pages_that_are_not_docs():
    assert r.doc_from_page({}, {}) is None
    assert r.doc_from_page({}, {"blocks": None}) is None
    assert r.doc_from_page({}, {"blocks": []}) is None
    assert r.doc_from_page({}, {"blocks": [{"text": "hello", "order": 0}, marker_block(order=1)]}) is None
    assert r.doc_from_page({}, {"blocks": [{"text": '{"__kelvo_agent_doc__": 1, "name": "Bad Name"}'}]}) is None
    assert r.doc_from_page({}, {"blocks": ["not a map", 3, marker_block()]}).name == "guide"


def test_marker_members_in_any_order_stay_out_of_the_body():
    # The marker between two list items: blank ones pass over to reach it, and
    # it ends the run of the list like any marker, whatever its key order.
    def page(marker):
        return {"blocks": [{"block_type": "bulleted", "text": " ", "order": 0},
                           {"block_type": "bulleted", "text": marker, "order": 1},
                           {"block_type": "bulleted", "text": "next", "order": 2},
                           {"block_type": "bulleted", "text": "last", "order": 3}]}

    canonical = r.doc_from_page({}, page(marker_text("style")))
    reordered = r.doc_from_page({}, page('{"name": "style", "__kelvo_agent_doc__": 1}'))
    assert reordered == canonical and "__kelvo" not in reordered.body
    assert reordered.body == r.blocks_to_markdown(page(marker_text("style"))["blocks"])
    assert reordered.body.endswith("- next\n- last")
    # Only the marker block itself: a later block with the same text is body.
    again = page(' {"v": 2, "name": "style", "__kelvo_agent_doc__": true}\n')
    again["blocks"].append({"text": '{"name": "x", "__kelvo_agent_doc__": 1}', "order": 9})
    d = r.doc_from_page({}, again)
    assert (d.v, d.body.splitlines()[-1]) == (2, '{"name": "x", "__kelvo_agent_doc__": 1}')


@settings(max_examples=40, deadline=None)
@given(st.permutations(['"__kelvo_agent_doc__": 1', '"name": "guide"', '"kind": "skill"', '"pinned": true',
                        '"v": 3']), st.lists(st.sampled_from(["bulleted", "todo", "paragraph", "quote"]), max_size=4))
def test_marker_key_order_never_shows_in_the_doc(members, around):
    blocks = [{"block_type": t, "text": f"item {i}", "order": i + 1} for i, t in enumerate(around)]
    reordered = [{"text": "{" + ", ".join(members) + "}", "order": 0}] + blocks
    canonical = [{"text": marker_text("guide", "skill", pinned=True, v=3), "order": 0}] + blocks
    assert r.doc_from_page({}, {"blocks": reordered}) == r.doc_from_page({}, {"blocks": canonical})


def test_blocks_that_are_not_a_list_fail_even_when_falsy():
    for blocks in (0, "", False, {}, 0.0, "x", {"order": 1}):
        with pytest.raises(TypeError, match="page blocks must be a list"):
            r.doc_from_page({}, {"blocks": blocks})
        with pytest.raises(TypeError, match="page blocks must be a list"):
            r.derive_registry(Engine({"pages": [{"page_id": "x"}]}, {"blocks": blocks}))
    assert r.doc_from_page({}, {"blocks": None}) is None
    assert r.doc_from_page({}, {"blocks": ()}) is None


# --- the scan ------------------------------------------------------------------

def canvas(*names, **kw):
    engine = InMemoryEngine()
    for name in names:
        engine.add_doc(name, f"Body of {name}", **kw)
    return engine


def test_scan_reads_each_page_once_in_order():
    engine = canvas("a", "b")
    engine.add_page("plain", [{"text": "not a doc"}])
    engine.add_page("no id", [marker_block("c")], page_id="")
    docs, notes = r.derive_registry(engine)
    assert [d.name for d in docs] == ["a", "b"] and notes == {}
    assert engine.calls == [("list_pages", 50), ("get_page", "pg_0001"), ("get_page", "pg_0002"),
                            ("get_page", "pg_0003")]
    assert docs[0] == D("a", "doc", "a", "", False, "pg_0001", "2025-01-01T00:00:00Z", "Body of a", 1, "approved")


def test_scan_notes_truncation():
    engine = canvas(*[f"d{i}" for i in range(5)])
    docs, notes = r.derive_registry(engine, max_pages=3)
    assert len(docs) == 3 and notes == {"truncated": truncated(3)}
    assert r.derive_registry(canvas("a"), max_pages=50)[1] == {}

    class Full(InMemoryEngine):
        def list_pages(self, limit=50):
            return {**super().list_pages(limit), "has_more": True}

    assert r.derive_registry(Full())[1] == {"truncated": truncated(50)}


def test_scan_time_budget():
    engine = canvas("a", "b", "c")
    readings = iter([100.0])
    docs, notes = r.derive_registry(engine, budget_seconds=0, clock=lambda: next(readings, 100.0))
    assert docs == [] and notes == {"budget": budget("0", 0, 3)}
    assert engine.calls == [("list_pages", 50)]

    readings = iter([0.0, 1.0, 2.0, 2.5, 9.0])
    docs, notes = r.derive_registry(canvas("a", "b", "c", "d"), budget_seconds=2.5, clock=lambda: next(readings))
    assert [d.name for d in docs] == ["a", "b"] and notes == {"budget": budget("2.5", 2, 4)}
    assert r.derive_registry(InMemoryEngine(), budget_seconds=0) == ([], {})
    for value, text in [(6.0, "6"), (1e-7, "1e-07"), (1234567.0, "1.23457e+06"), (10, "10")]:
        assert r.derive_registry(canvas("a"), budget_seconds=value, clock=iter([0.0, 1e9]).__next__)[1] == {
            "budget": budget(text, 0, 1)}


def test_scan_duplicates():
    engine = canvas("a", "b", "a")
    docs, notes = r.derive_registry(engine)
    assert [d.page_id for d in docs] == ["pg_0001", "pg_0002"] and notes == {"duplicates": "a"}
    engine.add_doc("a")
    assert r.derive_registry(engine)[1] == {"duplicates": "a a"}
    assert [d.name for d in r.derive_registry(engine, dedupe=False)[0]] == ["a", "b", "a", "a"]


def test_scan_note_order():
    engine = canvas("a", "a", "b")
    engine.add_doc("c")
    readings = iter([0.0, 0.0, 0.0, 0.0, 5.0])
    _, notes = r.derive_registry(engine, max_pages=4, budget_seconds=1, clock=lambda: next(readings))
    assert list(notes) == ["duplicates", "budget"]
    engine.add_doc("d")
    readings = iter([0.0, 0.0, 0.0, 0.0, 5.0])
    _, notes = r.derive_registry(engine, max_pages=4, budget_seconds=1, clock=lambda: next(readings))
    assert list(notes) == ["truncated", "duplicates", "budget"]


def test_scan_default_clock_is_monotonic():
    docs, notes = r.derive_registry(canvas("a"), budget_seconds=60)
    assert len(docs) == 1 and notes == {}
    assert "clock: Callable[[], float] = time.monotonic" in r.derive_registry.__doc__


# --- predicates -----------------------------------------------------------------

def test_authority_and_instruction():
    assert r.requests_authority(doc(kind="learnings", pinned=True))
    assert not r.requests_authority(doc(kind="doc"))
    assert r.requests_authority(doc(kind="skill"))
    assert not r.is_instruction(doc(kind="doc", approval="approved"))
    assert r.is_instruction(doc(kind="skill", approval="approved"))
    assert not r.is_instruction(doc(pinned=True, approval="changed"))


def test_builtin_seed():
    stored = r.blocks_to_markdown(r.markdown_to_blocks(r.KELVO_FIRST_SEEDED_BODIES[0]))
    seed = doc(r.KELVO_FIRST_NAME, pinned=True, body="\n\n" + stored + "\n")
    assert r.is_builtin_seed(seed)
    assert not r.is_builtin_seed(copy.replace(seed, body=stored + "\nOne more line"))
    assert not r.is_builtin_seed(copy.replace(seed, name="kelvo-second"))
    assert not r.is_builtin_seed(copy.replace(seed, body=r.KELVO_FIRST_BODY))
    assert r.visible_docs([doc("a"), seed, doc("b")]) == [doc("a"), doc("b")]
    assert r.visible_docs(iter([seed])) == []
    # a seed read back from a canvas is hidden
    engine = InMemoryEngine()
    engine.add_doc(r.KELVO_FIRST_NAME, r.KELVO_FIRST_SEEDED_BODIES[0], pinned=True)
    assert r.visible_docs(r.derive_registry(engine)[0]) == []


def test_approvals_reported():
    assert r.approvals_reported([])
    assert r.approvals_reported([doc(approval="none"), doc(approval="changed")])
    assert not r.approvals_reported([doc(), doc(approval="unknown"), doc()])


def version_ref(docs):
    rows = sorted(f"{d.name}|{d.kind}|{d.page_id}|{d.updated_at}" for d in docs if r.is_instruction(d))
    return hashlib.sha256("\n".join(rows).encode("utf-8", "surrogatepass")).hexdigest()[:12]


def test_instructions_version():
    a, b = doc("a", pinned=True), doc("b", "skill", updated_at=None)
    assert r.instructions_version([]) == hashlib.sha256(b"").hexdigest()[:12]
    assert r.instructions_version([a, b]) == r.instructions_version([b, doc("c"), a])
    assert r.instructions_version([b]) == hashlib.sha256(b"b|skill|p1|None").hexdigest()[:12]
    assert r.instructions_version([a]) != r.instructions_version([copy.replace(a, updated_at="t2")])


def test_instructions_version_takes_lone_surrogates():
    d = doc("a", pinned=True, page_id="p\ud800", updated_at="2025\udfff")
    assert r.instructions_version([d]) == hashlib.sha256(
        "a|doc|p\ud800|2025\udfff".encode("utf-8", "surrogatepass")).hexdigest()[:12]


def test_instructions_version_orders_short_rows_and_shared_prefixes():
    # Rows shorter than eight bytes, rows that are prefixes of others (with a
    # NUL or a wide code point next), and rows equal over their first bytes.
    ends = ["", "\x00", "\x00\x00", "a", "\x7f", "\x80", "\u00e9", "\U0001f600", "\ud800", None]
    docs = [doc("", pinned=True, page_id="", updated_at=u) for u in ends]
    docs += [doc(n, pinned=True) for n in ["release-10", "release-1", "release-2", "release-", "releas"]]
    assert r.instructions_version(docs) == version_ref(docs)
    assert r.instructions_version(docs[::-1]) == version_ref(docs)


texts = st.text(alphabet=st.sampled_from("ab|\n\x00 é\u2028\U0001f600\ud800\udc00"), max_size=10)


@settings(max_examples=100, deadline=None)
@given(st.lists(st.builds(lambda n, k, p, a, pid, u: doc(n, k, pinned=p, approval=a, page_id=pid, updated_at=u),
                          texts, st.sampled_from(["doc", "skill"]), st.booleans(),
                          st.sampled_from(["approved", "none"]), texts,
                          st.none() | texts | st.integers() | st.floats(allow_nan=False)),
                max_size=8))
def test_instructions_version_matches_sha256_of_sorted_rows(docs):
    assert r.instructions_version(docs) == version_ref(docs)
    assert r.instructions_version(list(reversed(docs))) == version_ref(docs)


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(["a", "b", "c", "d"]), st.booleans()), max_size=12), st.booleans())
def test_scan_keeps_first_of_each_name(pages, dedupe):
    engine = InMemoryEngine()
    for name, is_doc in pages:
        if is_doc:
            engine.add_doc(name)
        else:
            engine.add_page(name, [{"text": name}])
    docs, notes = r.derive_registry(engine, dedupe=dedupe)
    names = [n for n, is_doc in pages if is_doc]
    if dedupe:
        firsts = list(dict.fromkeys(names))
        assert [d.name for d in docs] == firsts
        dups = [n for i, n in enumerate(names) if n in names[:i]]
        assert notes == ({"duplicates": " ".join(dups)} if dups else {})
    else:
        assert [d.name for d in docs] == names and notes == {}


# --- hostile engines and clocks ------------------------------------------------

class Engine(InMemoryEngine):
    def __init__(self, listing=None, detail=None, **kw):
        super().__init__(**kw)
        self.listing, self.detail = listing, detail

    def list_pages(self, limit=50):
        self.calls.append(("list_pages", limit))
        return self.listing

    def get_page(self, page_id):
        self.calls.append(("get_page", page_id))
        return self.detail


def test_wrong_shapes_fail_with_an_error():
    page = {"pages": [{"page_id": "x"}]}
    for listing, detail in [(["not", "a", "map"], {}), ({"pages": ["row"]}, {}), (page, ["detail"]),
                            (page, {"blocks": "not a list"}), (page, {"blocks": 5}),
                            ({"pages": 5}, {}), (page, {"blocks": [{"text": "t", "order": "abc"}]})]:
        with pytest.raises((TypeError, ValueError, AttributeError)):
            r.derive_registry(Engine(listing, detail))
    for listing, detail in [(None, None), ({}, None), ({"pages": None}, None), ({"pages": [None, {}, ""]}, None),
                            (page, None), (page, {}), (page, {"blocks": []}), (page, {"blocks": None})]:
        assert r.derive_registry(Engine(listing, detail)) == ([], {})


def test_listed_pages_that_are_not_a_list_fail_before_any_page_request():
    readings = []

    def clock():
        readings.append(len(readings))
        return 0.0

    for pages in ("abc", {"pg_1": {"page_id": "pg_1"}}, {"page_id": "pg_1"}, 5, 2.5, True, b"ab", {1, 2}):
        engine = Engine({"pages": pages, "has_more": True}, {"blocks": [marker_block()]})
        with pytest.raises(TypeError, match=f"listed pages must be a list, not {type(pages).__name__}$"):
            r.derive_registry(engine)
        assert engine.calls == [("list_pages", 50)]
        # With a budget only the deadline is read, before the listing: no
        # check against it, no page request, no note.
        engine.calls.clear()
        readings.clear()
        with pytest.raises(TypeError, match="listed pages must be a list"):
            r.derive_registry(engine, budget_seconds=0, clock=clock)
        assert engine.calls == [("list_pages", 50)] and readings == [0]
    for pages in (None, [], {}, "", 0, False, ()):
        engine = Engine({"pages": pages, "has_more": False}, {"blocks": [marker_block()]})
        assert r.derive_registry(engine, budget_seconds=0, clock=clock) == ([], {})
        assert engine.calls == [("list_pages", 50)]
    rows = ({"page_id": "pg_1"},)
    assert [d.name for d in r.derive_registry(Engine({"pages": rows}, {"blocks": [marker_block()]}))[0]] == ["guide"]


def test_client_and_clock_errors_pass_through():
    class Down(InMemoryEngine):
        def list_pages(self, limit=50):
            raise ConnectionError("engine down")

    with pytest.raises(ConnectionError, match="engine down"):
        r.derive_registry(Down())
    class Stale(InMemoryEngine):
        def list_pages(self, limit=50):
            return {"pages": [{"page_id": "gone"}]}

    with pytest.raises(PageNotFound):
        r.derive_registry(Stale())

    def clock():
        raise OSError("no time")

    with pytest.raises(OSError, match="no time"):
        r.derive_registry(canvas("a"), budget_seconds=5, clock=clock)
    with pytest.raises(TypeError):
        r.derive_registry(canvas("a"), budget_seconds=5, clock=lambda: "noon")
    with pytest.raises(TypeError):
        r.derive_registry(canvas("a"), 10)  # max_pages is named-only
    with pytest.raises(AttributeError):
        r.derive_registry(object())


def test_rows_changed_by_the_client_during_the_scan():
    engine = canvas("a", "b", "c")

    class Mutating(InMemoryEngine):
        def list_pages(self, limit=50):
            self.listing = engine.list_pages(limit)
            return self.listing

        def get_page(self, page_id):
            self.listing["pages"].clear()  # the scan walks its own copy of the rows
            return engine.get_page(page_id)

    assert [d.name for d in r.derive_registry(Mutating())[0]] == ["a", "b", "c"]


def test_hostile_values_inside_pages():
    class Loud:
        def __str__(self):
            raise RuntimeError("no str")

        def __bool__(self):
            return True

    with pytest.raises(RuntimeError, match="no str"):
        r.derive_registry(Engine({"pages": [{"page_id": Loud()}]}, {}))
    with pytest.raises(RuntimeError, match="no str"):
        r.doc_from_page({"title": Loud()}, {"blocks": [marker_block()]})
    deep = {"blocks": [marker_block()], "updated_at": [[[[]]]] * 3}
    assert r.doc_from_page({}, deep).updated_at == [[[[]]]] * 3
