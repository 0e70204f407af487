"""The engine's durable store on SQLite: engine processes sharing one file,
files that are not ours refused, an older store upgraded with a copy kept, a
JSON state file taken in once and kept by one process, listings paged with a
cursor. What every backend promises is in test_store_backends.py."""

import json
import os
import sqlite3
import subprocess
import sys
import threading

import httpx
import pytest

from kelvo_mcp.engine.api import CanvasError
from kelvo_mcp.engine.canvas import SAMPLE_CANVAS, import_state, load_canvas, open_state_engine, open_store_engine, \
    seed_engine
from kelvo_mcp.engine.client import HttpEngine
from kelvo_mcp.engine.embedded import EmbeddedEngine
from kelvo_mcp.engine.store import SCHEMA_VERSION, Store, StoreError

from engine_proc import HOST, EngineProcess, run_engine_cli  # noqa: E402

FAST = {"connect": 5.0, "read": 5.0, "write": 5.0, "pool": 5.0}
P = {"block_type": "paragraph"}


@pytest.fixture
def db(tmp_path):
    return tmp_path / "canvas.db"


def block_ids(engine):
    return [b["block_id"] for p in engine.pages for b in p.blocks]


def test_the_in_memory_engine_is_safe_from_many_threads():
    engine = EmbeddedEngine()
    page = engine.create_page("log", [])["page_id"]

    def writer(n):
        for i in range(50):
            engine.append_blocks(page, [{**P, "text": f"{n}.{i}"}])
            engine.list_pages(limit=5)

    threads = [threading.Thread(target=writer, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    blocks = engine.get_page(page)["blocks"]
    assert len(blocks) == 200 and len({b["block_id"] for b in blocks}) == 200
    assert [b["order"] for b in blocks] == list(range(200))


def test_two_engine_processes_on_one_store_and_a_third_reader(db):
    with EngineProcess("--store", db) as one, EngineProcess("--store", db) as two, \
            HttpEngine(one.url, timeouts=FAST) as a, HttpEngine(two.url, timeouts=FAST) as b:
        made_a = [a.create_page(f"a{i}", [{**P, "text": "x"}])["page_id"] for i in range(5)]
        made_b = [b.create_page(f"b{i}", [{**P, "text": "y"}])["page_id"] for i in range(5)]
        assert len(set(made_a + made_b)) == 10
        b.append_blocks(made_a[0], [{**P, "text": "from b"}])
        assert a.get_page(made_a[0])["blocks"][-1]["text"] == "from b"
        third = open_store_engine(db)
        try:
            ids = {p.page_id for p in third.pages}
            assert set(made_a + made_b) <= ids
        finally:
            third.close()


def _foreign(path):
    conn = sqlite3.connect(path)
    conn.execute("CREATE TABLE notes (body TEXT)")
    conn.commit()
    conn.close()


def _newer(path):
    Store.open(path).close()
    conn = sqlite3.connect(path)
    conn.execute(f"PRAGMA user_version={SCHEMA_VERSION + 1}")
    conn.commit()
    conn.close()


def _text(path):
    path.write_text("{}\n" * 1000)


@pytest.mark.parametrize("make, words", [
    (_foreign, "is an SQLite database of another application, not a Kelvo engine store"),
    (_newer, f"was written by a newer kelvo-mcp (schema {SCHEMA_VERSION + 1}"),
    (_text, "is not a Kelvo engine store (not an SQLite database)"),
])
def test_a_file_that_is_not_our_store_is_refused_in_one_line_and_left_alone(db, make, words):
    make(db)
    before = db.read_bytes()
    with pytest.raises(StoreError) as err:
        open_store_engine(db)
    assert words in str(err.value) and "\n" not in str(err.value)
    assert isinstance(err.value, CanvasError)  # what the servers turn into exit status 2
    assert db.read_bytes() == before
    run = run_engine_cli("--store", db, "--listen", "127.0.0.1:0")
    assert run.returncode == 2 and words in run.stderr.splitlines()[-1]


def test_a_json_state_file_is_taken_in_once_and_left_in_place(tmp_path, db):
    pytest.importorskip("mcp")
    pytest.importorskip("jsonschema")

    state = tmp_path / "state.json"
    old = seed_engine(load_canvas(SAMPLE_CANVAS))
    old.state_file = state
    old.append_blocks(old.pages[0].page_id, [{**P, "text": "written before the store"}])
    old.delete_page(old.pages[-1].page_id)  # its id is not given out again
    text = state.read_text()

    engine = open_store_engine(db, state=state)
    try:
        assert engine.store.seeded_from == f"state file {state}"
        assert [(p.page_id, p.title, p.blocks, p.approval) for p in engine.pages] == \
               [(p.page_id, p.title, p.blocks, p.approval) for p in old.pages]
        # New ids come after the ones taken in.
        made = engine.create_page("new", [{**P, "text": "n"}])
        assert made["page_id"] == f"pg_{len(old.pages) + 2:04d}"
        assert len(set(block_ids(engine))) == len(block_ids(engine))
    finally:
        engine.close()
    assert state.read_text() == text
    # Later starts use the store; the state file, even changed, is not read again.
    state.write_text(json.dumps({"pages": []}))
    again = open_store_engine(db, state=state)
    try:
        assert len(again.pages) == len(old.pages) + 1
        with Store.open(db) as store:
            assert import_state(store, state) is False
    finally:
        again.close()


@pytest.mark.parametrize("kind", ["memory", "store"])
def test_listing_pages_through_with_the_cursor_finds_every_page_once(db, kind):
    engine = EmbeddedEngine() if kind == "memory" else EmbeddedEngine(store=Store.open(db))
    try:
        made = [engine.create_page(f"p{i}", [])["page_id"] for i in range(120)]
        seen, cursor, listings = [], None, 0
        while True:
            listing = engine.list_pages(limit=50, cursor=cursor)
            listings += 1
            seen += [row["page_id"] for row in listing["pages"]]
            if not listing["has_more"]:
                assert "next_cursor" not in listing
                break
            cursor = listing["next_cursor"]
        assert seen == made and listings == 3
        assert engine.list_pages(limit=0) == {"pages": [], "has_more": True, "next_cursor": "0"}
    finally:
        engine.close()


def test_injected_faults_on_a_store_engine_write_nothing(db):
    engine = open_store_engine(db)
    try:
        before = len(engine.pages)
        engine.fail_next("create_page", 500)
        with pytest.raises(httpx.HTTPStatusError):
            engine.create_page("lost", [])
        engine.fail_next("get_page", httpx.ReadTimeout)
        with pytest.raises(httpx.ReadTimeout):
            engine.get_page(engine.pages[0].page_id)
        assert len(engine.pages) == before
        # An update the engine refuses changes nothing.
        page = engine.pages[0]
        with pytest.raises(httpx.HTTPStatusError):
            engine.update_blocks(page.page_id, [{"block_id": page.blocks[0]["block_id"], "text": "changed"},
                                                {"block_id": "b999999", "text": "no such block"}])
        assert engine.pages[0] == page
    finally:
        engine.close()


def _store_at_schema_1(path, pages):
    """A store as the first release wrote it, holding `pages` (title, blocks, approval)."""
    from kelvo_mcp.engine.schema import APPLICATION_ID, STEPS

    conn = sqlite3.connect(path, isolation_level=None)
    conn.execute("PRAGMA journal_mode=WAL")
    conn.execute("BEGIN")
    STEPS[1](conn)
    conn.executemany("INSERT INTO meta (key, value) VALUES (?, ?)",
                     [("canvas", '"agent_docs"'), ("identity", "{}"), ("seeded_from", '"canvas file old.json"')])
    conn.executemany("INSERT INTO pages (page_id, title, updated_at, approval, blocks) VALUES (?, ?, NULL, ?, ?)",
                     [(f"pg_{i:04d}", t, a, json.dumps(b)) for i, (t, b, a) in enumerate(pages, start=1)])
    conn.execute(f"UPDATE meta SET value = '{len(pages) + 1}' WHERE key = 'next_page'")
    conn.execute(f"PRAGMA application_id={APPLICATION_ID}")
    conn.execute("PRAGMA user_version=1")
    conn.execute("COMMIT")
    conn.close()


OLD_PAGES = [("plain", [{**P, "text": "kept", "block_id": "b1", "order": 0}], None),
             ("rules", [{**P, "text": '{"__kelvo_agent_doc__": 1, "name": "rules", "kind": "skill", "v": 1}',
                         "block_id": "b2", "order": 0}, {**P, "text": "Old.", "block_id": "b3", "order": 1}], "approved"),
             ("rules again", [{**P, "text": '{"__kelvo_agent_doc__": 1, "name": "rules", "kind": "doc", "v": 1}',
                               "block_id": "b4", "order": 0}], "none")]


def _rows(path):
    conn = sqlite3.connect(path)
    try:
        return conn.execute("SELECT page_id, title, approval, blocks FROM pages ORDER BY seq").fetchall()
    finally:
        conn.close()


def test_a_store_of_the_previous_schema_is_upgraded_with_its_data_intact_and_a_copy_kept(db):
    _store_at_schema_1(db, OLD_PAGES)
    before = _rows(db)
    engine = open_store_engine(db)
    try:
        assert engine.store.upgraded_from == 1
        assert [(p.title, p.blocks, p.approval) for p in engine.pages] == OLD_PAGES
        # The upgraded store finds the doc in force of a name: the first page of it.
        saved = engine.save_doc("rules", [{**P, "text": "New."}])
        assert (saved["page_id"], saved["created"]) == ("pg_0002", False)
        assert engine.save_doc("fresh", [])["page_id"] == "pg_0004"
    finally:
        engine.close()
    backup = db.with_name("canvas.db.schema1.bak")
    assert _rows(backup) == before
    with sqlite3.connect(backup) as conn:
        assert conn.execute("PRAGMA user_version").fetchone()[0] == 1
    with Store.open(db) as again:
        assert again.upgraded_from is None and again.integrity_check() == "ok"


def test_an_upgrade_that_fails_leaves_the_store_as_it_was(db, monkeypatch):
    from kelvo_mcp.engine import schema

    _store_at_schema_1(db, OLD_PAGES)

    def half_done(conn):
        conn.execute("ALTER TABLE pages ADD COLUMN doc_name TEXT")
        raise sqlite3.OperationalError("disk I/O error")

    monkeypatch.setitem(schema.STEPS, 2, half_done)
    with pytest.raises(StoreError, match=f"cannot upgrade store {db} from schema 1: disk I/O error"):
        Store.open(db)
    conn = sqlite3.connect(db)
    try:
        assert conn.execute("PRAGMA user_version").fetchone()[0] == 1
        assert [c[1] for c in conn.execute("PRAGMA table_info(pages)")][-1] == "blocks"
    finally:
        conn.close()


def test_a_second_process_on_one_state_file_is_refused_in_one_line(tmp_path):
    pytest.importorskip("mcp")
    state = tmp_path / "state.json"
    first = open_state_engine(state)
    try:
        run = subprocess.run([sys.executable, "-m", "kelvo_mcp.server", "--state", str(state)], capture_output=True,
                             text=True, timeout=60, stdin=subprocess.DEVNULL,
                             env={**os.environ, "PYTHONPATH": str(HOST), "SKBUILD_EDITABLE_SKIP": "1"})
        assert run.returncode == 2
        assert run.stderr.splitlines()[-1] == (
            f"python -m kelvo_mcp.server: error: state file {state} is in use by another process (pid {os.getpid()}); "
            "--state serves one process at a time: to share a canvas, give each server --store FILE")
        first.create_page("kept", [])
    finally:
        first.close()
    second = open_state_engine(state)  # the lock went with the first engine
    try:
        assert "kept" in [p.title for p in second.pages]
    finally:
        second.close()
