"""The store's contract, run over both backends (a SQLite file and a
PostgreSQL database): engines in one process and in several sharing one
store, concurrent writers losing nothing, one page for concurrent saves of
one new name through two servers, every acknowledged write surviving a
killed writer, text and block keys read back exactly as written, listings
paged with a cursor, a busy store answering 503, a new store filled once."""

import json
import threading
from concurrent.futures import ThreadPoolExecutor

import httpx
import pytest

from kelvo_mcp.engine.canvas import SAMPLE_CANVAS, load_canvas, open_store_engine, seed_engine
from kelvo_mcp.engine.client import HttpEngine
from kelvo_mcp.engine.docs import first_doc
from kelvo_mcp.engine.embedded import EmbeddedEngine
from kelvo_mcp.engine.backends import open_store

from engine_proc import EngineProcess  # noqa: E402

FAST = {"connect": 5.0, "read": 5.0, "write": 5.0, "pool": 5.0}
P = {"block_type": "paragraph"}


def block_ids(engine):
    return [b["block_id"] for p in engine.pages for b in p.blocks]


def test_two_engines_on_one_store_see_each_others_writes_at_once(store_where):
    a, b = open_store_engine(store_where), open_store_engine(store_where)
    try:
        made = a.create_page("from a", [{**P, "text": "one"}])
        # No copy of the canvas is kept between calls: b reads a's commit.
        assert b.get_page(made["page_id"])["blocks"][0]["text"] == "one"
        b.append_blocks(made["page_id"], [{**P, "text": "two"}])
        a.rename_page(made["page_id"], "renamed")
        page = a.get_page(made["page_id"])
        assert page["title"] == "renamed" and [x["text"] for x in page["blocks"]] == ["one", "two"]
        assert b.create_page("from b", [])["page_id"] != made["page_id"]
        b.delete_page(made["page_id"])
        with pytest.raises(httpx.HTTPStatusError) as err:
            a.get_page(made["page_id"])
        assert err.value.response.status_code == 404
        # Ids stay unique across engines: the counters live in the store.
        assert len(set(block_ids(a))) == len(block_ids(a))
    finally:
        a.close()
        b.close()


def test_concurrent_writers_in_one_process_and_across_engines_lose_nothing(store_where):
    engines = [open_store_engine(store_where), open_store_engine(store_where)]
    target = engines[0].create_page("log", [])["page_id"]
    errors = []

    def writer(engine, n):
        try:
            for i in range(15):
                engine.create_page(f"w{n}-{i}", [{**P, "text": f"{n}.{i}"}])
                engine.append_blocks(target, [{**P, "text": f"{n}.{i}"}])
        except Exception as exc:  # reported below, with the thread's number
            errors.append((n, exc))

    threads = [threading.Thread(target=writer, args=(engines[n % 2], n)) for n in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not errors
    third = open_store_engine(store_where)
    try:
        pages = third.pages
        made = [p for p in pages if p.title.startswith("w")]
        assert sorted(p.title for p in made) == sorted(f"w{n}-{i}" for n in range(6) for i in range(15))
        # The canvas order is the order of creation: each writer's pages come in its own order.
        for n in range(6):
            assert [p.title for p in made if p.title.startswith(f"w{n}-")] == [f"w{n}-{i}" for i in range(15)]
        blocks = third.get_page(target)["blocks"]
        assert sorted(b["text"] for b in blocks) == sorted(f"{n}.{i}" for n in range(6) for i in range(15))
        assert [b["order"] for b in blocks] == list(range(len(blocks)))
        assert len(set(block_ids(third))) == len(block_ids(third))
        assert len({p.page_id for p in pages}) == len(pages)
    finally:
        for e in (*engines, third):
            e.close()


def test_sixteen_saves_of_one_new_name_across_engines_make_one_page(store_where):
    engines = [open_store_engine(store_where) for _ in range(2)]
    gate = threading.Barrier(16)

    def save(i):
        gate.wait(timeout=30)
        return engines[i % 2].save_doc("house-rules", [{**P, "text": f"rule {i}"}], "skill")

    try:
        with ThreadPoolExecutor(16) as pool:
            replies = list(pool.map(save, range(16)))
        assert len({r["page_id"] for r in replies}) == 1
        assert sorted(r["created"] for r in replies) == [False] * 15 + [True]
        pages = engines[1].pages
        assert [p.page_id for p in pages if first_doc([p], name="house-rules")] == [replies[0]["page_id"]]
    finally:
        for e in engines:
            e.close()


TITLES = ["plain", "nul \x00 inside", "escape \x01\x02 and \x01\x01", "\x00", "ünïcødé ✓ 𝄞", "  spaced  ", ""]


def test_text_and_block_keys_read_back_exactly_as_written(store_where):
    engine = open_store_engine(store_where)
    again = open_store_engine(store_where)
    try:
        for title in TITLES:
            # Keys in an order no sorting gives: a page's blocks must not depend on the backend.
            block = {"zeta": 1, "block_type": "paragraph", "alpha": {"y": [1, 2.5, None], "b": True}, "text": title}
            made = engine.create_page(title, [block])
            page = again.get_page(made["page_id"])
            assert page["title"] == title
            assert json.dumps(page["blocks"][0]) == json.dumps({"block_id": page["blocks"][0]["block_id"], **block,
                                                                 "order": 0})
            assert engine.rename_page(made["page_id"], title + "\x00")["title"] == title + "\x00"
            assert again.get_page(made["page_id"])["title"] == title + "\x00"
        assert [p.title for p in again.pages[-len(TITLES):]] == [t + "\x00" for t in TITLES]
    finally:
        engine.close()
        again.close()


def test_a_pages_revision_does_not_depend_on_the_backend(store_where):
    memory = seed_engine(load_canvas(SAMPLE_CANVAS))
    engine = open_store_engine(store_where)
    try:
        assert [engine.get_page(p.page_id)["revision"] for p in engine.pages] == \
            [memory.get_page(p.page_id)["revision"] for p in memory.pages]
    finally:
        engine.close()


def test_listing_pages_through_with_the_cursor_finds_every_page_once(store_where):
    engine = EmbeddedEngine(store=open_store(store_where))
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
        # Pages deleted before the cursor never shift the pages still to come.
        first = engine.list_pages(limit=4)
        for page_id in made[:4]:
            engine.delete_page(page_id)
        rest = engine.list_pages(limit=10, cursor=first["next_cursor"])
        assert [r["page_id"] for r in rest["pages"]] == made[4:14]
    finally:
        engine.close()


def test_a_new_store_is_filled_once_from_the_canvas_file(tmp_path, store_where):
    canvas = tmp_path / "canvas.json"
    canvas.write_text(json.dumps({"canvas": "team_docs", "identity": {"role": "viewer"},
                                  "pages": [{"title": "Only", "body": "one page"}]}))
    engine = open_store_engine(store_where, canvas=canvas, state=tmp_path / "missing.json")
    try:
        assert engine.canvas == "team_docs" and engine.whoami() == {"role": "viewer"}
        assert [p.title for p in engine.pages] == ["Only"]
        assert engine.store.seeded_from == f"canvas file {canvas}"
    finally:
        engine.close()
    # A filled store is used as it is: another canvas file is not read.
    canvas.write_text(json.dumps({"pages": [{"title": "Other"}]}))
    again = open_store_engine(store_where, canvas=canvas)
    try:
        assert [p.title for p in again.pages] == ["Only"]
    finally:
        again.close()


def _hold_write_lock(store_where):
    """Another process's writer in the middle of its transaction: a
    connection holding the store's write lock. Returns its release."""
    if store_where.startswith("postgresql://"):
        import psycopg

        from kelvo_mcp.engine.pgschema import WRITE_LOCK

        conn = psycopg.connect(store_where, autocommit=True)
        conn.execute("BEGIN")
        conn.execute("SELECT pg_advisory_xact_lock(%s)", (WRITE_LOCK,))
    else:
        import sqlite3

        conn = sqlite3.connect(store_where, isolation_level=None)
        conn.execute("BEGIN IMMEDIATE")

    def release():
        conn.execute("ROLLBACK")
        conn.close()

    return release


def test_a_busy_store_answers_503_and_serves_once_the_writer_is_done(store_where):
    open_store(store_where).close()
    engine = EmbeddedEngine(store=open_store(store_where, busy_timeout=0.05))
    release = _hold_write_lock(store_where)
    try:
        with pytest.raises(httpx.HTTPStatusError) as err:
            engine.create_page("blocked", [])
        assert err.value.response.status_code == 503
        assert err.value.response.json()["detail"] == "the engine's store is busy; try again shortly"
        assert engine.list_pages()["pages"] == []  # readers never wait for the writer
    finally:
        release()
    try:
        assert engine.create_page("after", [])["title"] == "after"
    finally:
        engine.close()


def test_a_killed_engine_keeps_every_write_it_acknowledged(store_where):
    acked: dict[str, list[str]] = {}
    lock = threading.Lock()
    enough = threading.Event()
    engine = EngineProcess("--store", store_where).start()
    try:
        with HttpEngine(engine.url, timeouts=FAST) as client:
            pages = [client.create_page(f"stream {n}", [])["page_id"] for n in range(3)]

            def stream(page_id):
                for i in range(400):
                    text = f"{page_id}:{i}"
                    try:
                        client.append_blocks(page_id, [{**P, "text": text}])
                    except httpx.HTTPError:
                        return  # the engine is gone: this write was never acknowledged
                    with lock:
                        acked.setdefault(page_id, []).append(text)
                        if sum(map(len, acked.values())) >= 60:
                            enough.set()

            threads = [threading.Thread(target=stream, args=(p,)) for p in pages]
            for t in threads:
                t.start()
            enough.wait(timeout=60)
            engine.kill()  # SIGKILL: writers are mid-stream
            for t in threads:
                t.join(timeout=60)
    finally:
        engine.close()
    assert 60 <= sum(map(len, acked.values())) < 3 * 400  # killed mid-stream
    reopened = open_store_engine(store_where)
    try:
        if hasattr(reopened.store, "integrity_check"):
            assert reopened.store.integrity_check() == "ok"
        for page_id, texts in acked.items():
            held = [b["text"] for b in reopened.get_page(page_id)["blocks"]]
            # Acknowledged in order, kept in order; at most the write in flight beyond them.
            assert held[:len(texts)] == texts and len(held) <= len(texts) + 1
        # The store takes writes at once: nothing of the killed writer holds its lock.
        reopened.create_page("after the kill", [])
    finally:
        reopened.close()


@pytest.mark.anyio
async def test_sixteen_sessions_on_two_servers_saving_one_new_name_leave_one_page(store_where):
    pytest.importorskip("mcp")
    import anyio

    from http_host import Process, client
    from server_session import reply_of

    open_store(store_where).close()  # made once, before both servers start
    rounds = 2
    with ThreadPoolExecutor(2) as pool:  # both start at once
        servers = list(pool.map(lambda _: Process("kelvo_mcp.server", "--store", store_where, "--http",
                                                  "127.0.0.1:0", "--shutdown-seconds", "1"), range(2)))
    with servers[0] as one, servers[1] as two:
        acked = []

        async def agent(n, ready, go):
            async with client((one, two)[n % 2].url) as c:
                ready.release()
                for r in range(rounds):
                    await go[r].wait()
                    saved = reply_of(await c.call_tool("kelvo_doc_save", {"name": f"shared-{r}", "body": f"from {n}"}))
                    acked.append((r, saved["page_id"]))

        ready = anyio.Semaphore(0)
        go = [anyio.Event() for _ in range(rounds)]
        async with anyio.create_task_group() as tg:
            for n in range(16):
                tg.start_soon(agent, n, ready, go)
            for _ in range(16):
                await ready.acquire()
            for r in range(rounds):
                go[r].set()
                with anyio.fail_after(60):
                    while sum(1 for a in acked if a[0] == r) < 16:
                        await anyio.sleep(0.01)
    engine = open_store_engine(store_where)
    try:
        for r in range(rounds):
            named = [p.page_id for p in engine.pages if first_doc([p], name=f"shared-{r}")]
            assert len(named) == 1
            assert {page_id for a, page_id in acked if a == r} == set(named)
    finally:
        engine.close()
    assert len(acked) == 16 * rounds
