"""Saves that find their doc and write it in one engine call: concurrent
saves of one new name make one page, in one engine, across engines on one
store and through two MCP servers on one store; the store's index finds the
doc the registry scan would (the first of its name in canvas order), kept
up to date by every write."""

import json
import threading

import pytest

from kelvo_mcp import refresh
from kelvo_mcp.engine.canvas import doc_blocks, open_store_engine
from kelvo_mcp.engine.docs import first_doc
from kelvo_mcp.engine.embedded import EmbeddedEngine

P = {"block_type": "paragraph"}
EMPTY = {"canvas": "agent_docs", "pages": []}


def pages_named(engine, name):
    return [p.page_id for p in engine.pages if first_doc([p], name=name) is not None]


def at_once(n, call):
    """`call(i)` on n threads released together; the replies, in order of i."""
    replies, errors = [None] * n, []
    gate = threading.Barrier(n)

    def run(i):
        gate.wait(timeout=30)
        try:
            replies[i] = call(i)
        except Exception as exc:  # reported below with the rest
            errors.append(exc)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not errors
    return replies


@pytest.fixture
def empty_canvas(tmp_path):
    path = tmp_path / "empty.json"
    path.write_text(json.dumps(EMPTY))
    return path


@pytest.fixture(params=["memory", "two engines on one store"])
def engines(request, tmp_path, empty_canvas):
    if request.param == "memory":
        one = EmbeddedEngine()
        yield [one, one]
        return
    pair = [open_store_engine(tmp_path / "canvas.db", canvas=empty_canvas) for _ in range(2)]
    yield pair
    for e in pair:
        e.close()


def test_sixteen_saves_of_one_new_name_make_one_page_and_are_all_acknowledged(engines):
    body = [{**P, "text": "Rule."}]
    replies = at_once(16, lambda i: engines[i % 2].save_doc("house-rules", body, "skill"))
    assert len({r["page_id"] for r in replies}) == 1
    assert sorted(r["created"] for r in replies) == [False] * 15 + [True]
    assert pages_named(engines[0], "house-rules") == [replies[0]["page_id"]]
    learned = at_once(16, lambda i: engines[i % 2].append_learning([{**P, "text": f"lesson {i}"}]))
    assert len({r["page_id"] for r in learned}) == 1 and sum(r["created"] for r in learned) == 1
    page = engines[1].get_page(learned[0]["page_id"])
    assert refresh.parse_sentinel(page["blocks"][0]["text"])["kind"] == "learnings"
    assert sorted(b["text"] for b in page["blocks"][1:]) == sorted(f"lesson {i}" for i in range(16))


def _canvas_with_look_alikes(engine):
    """Docs a look-up can get wrong: a name twice, a learnings doc behind a
    name already taken, a marker that is not the first text, plain pages."""
    add = engine.add_page
    add("plain", [{**P, "text": "no marker"}])
    first = add("dup", doc_blocks("dup", "first"))
    add("dup again", doc_blocks("dup", "second", kind="skill"))
    add("shadowed", doc_blocks("dup", "", kind="learnings"))
    add("late marker", [{**P, "text": "intro"}, {**P, "text": refresh.make_sentinel("late", "doc")}])
    add("blank first", [{**P, "text": "   "}, {**P, "text": refresh.make_sentinel("blank", "doc")}])
    learn = add("notes", doc_blocks("notes", "", kind="learnings"))
    add("notes 2", doc_blocks("notes-2", "", kind="learnings"))
    return first, learn


def test_the_store_index_finds_what_the_registry_rule_finds_as_pages_change(tmp_path, empty_canvas):
    engine = open_store_engine(tmp_path / "canvas.db", canvas=empty_canvas)
    try:
        first, learn = _canvas_with_look_alikes(engine)

        def agree():
            with engine.store.transaction() as tx:
                pages = tx.all()
                for name in ("dup", "late", "blank", "notes", "notes-2", "missing"):
                    assert tx.find_doc(name=name) == first_doc(pages, name=name), name
                assert tx.find_doc(kind="learnings") == first_doc(pages, kind="learnings")
                return tx.find_doc(name="dup"), tx.find_doc(kind="learnings")

        dup, learnings = agree()
        assert dup[0].page_id == first.page_id and learnings[0].page_id == learn.page_id
        # Every kind of write moves the index with it.
        engine.write_blocks(first.page_id, [{**P, "text": "no longer a doc"}])
        engine.update_blocks(learn.page_id, [{"block_id": learn.blocks[0]["block_id"],
                                              "text": refresh.make_sentinel("renamed", "doc")}])
        dup, learnings = agree()
        assert dup[1].body == "second" and learnings[1].name == "notes-2"
        engine.delete_page(dup[0].page_id)
        assert agree()[0][1].kind == "learnings"  # the doc once shadowed is the one in force now
    finally:
        engine.close()


@pytest.fixture
def anyio_backend():
    return "asyncio"
