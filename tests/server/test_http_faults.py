"""Faults with the engine apart from the server: servers sharing one store,
a server killed while it saves, an engine slower than the read time-out, an
engine that goes away and comes back. Every process listens on 127.0.0.1
and is stopped by the test that started it."""

import pytest

pytest.importorskip("mcp")

import anyio  # noqa: E402

from kelvo_mcp.engine.api import TIMEOUTS  # noqa: E402
from kelvo_mcp.server import cli  # noqa: E402
from kelvo_mcp.server.connection import open_connection  # noqa: E402
from kelvo_mcp.server.handlers.docs import all_docs  # noqa: E402

from http_host import Process, client, serving  # noqa: E402
from server_session import reply_of, session  # noqa: E402

pytestmark = pytest.mark.anyio


def http_engine(url, read=None):
    from kelvo_mcp.engine.client import HttpEngine

    return HttpEngine(url, timeouts=dict(TIMEOUTS, **({"read": read} if read else {})), canvas="agent_docs")


async def save(c, name, body="Kept."):
    return reply_of(await c.call_tool("kelvo_doc_save", {"name": name, "body": body}))


async def test_two_servers_on_one_store_and_a_third_sees_every_save(tmp_path):
    store = tmp_path / "canvas.db"
    with Process("kelvo_mcp.server", "--store", store, "--http", "127.0.0.1:0") as one, \
            Process("kelvo_mcp.server", "--store", store, "--http", "127.0.0.1:0") as two:
        async def saves(url, prefix):
            async with client(url) as c:
                for i in range(5):
                    await save(c, f"{prefix}-{i}", f"from {prefix}")

        async with anyio.create_task_group() as tg:
            tg.start_soon(saves, one.url, "one")
            tg.start_soon(saves, two.url, "two")
        # Each server reads what the other wrote.
        async with client(two.url) as c:
            got = reply_of(await c.call_tool("kelvo_docs_read", {"op": "get", "name": "one-4"}))
            assert got["body"] == "from one"
    engine = cli.open_engine(None, None, store)
    try:
        async with session(engine) as (c, _):
            for prefix in ("one", "two"):
                for i in range(5):
                    got = reply_of(await c.call_tool("kelvo_docs_read", {"op": "get", "name": f"{prefix}-{i}"}))
                    assert got["body"] == f"from {prefix}"
    finally:
        engine.close()


async def test_every_save_acknowledged_before_a_kill_is_there_after_the_restart(tmp_path):
    store = tmp_path / "canvas.db"
    acked = []
    with Process("kelvo_mcp.server", "--store", store, "--http", "127.0.0.1:0") as proc:
        async def saver(n):
            try:
                async with client(proc.url) as c:
                    for i in range(200):
                        await save(c, f"s{n}-{i}", f"save {i} of session {n}")
                        acked.append((n, i))
                        if len(acked) == 24:
                            proc.kill()  # SIGKILL, with the other sessions' saves in flight
            except Exception:  # the server is gone: what it acknowledged so far is what counts
                pass

        async with anyio.create_task_group() as tg:
            for n in range(4):
                tg.start_soon(saver, n)
    assert 24 <= len(acked) < 4 * 200
    engine = cli.open_engine(None, None, store)
    try:
        docs = {}
        for d in all_docs(open_connection(engine)):
            docs[d.name] = d.body
    finally:
        engine.close()
    for n, i in acked:
        assert docs[f"s{n}-{i}"] == f"save {i} of session {n}"


async def test_an_engine_slower_than_the_read_time_out_is_a_worded_time_out(tmp_path):
    with Process("kelvo_mcp.engine", "--listen", "127.0.0.1:0", "--latency-ms", 1500) as eng:
        engine = http_engine(eng.url, read=0.3)
        try:
            async with serving(engine) as (url, _), client(url) as c:
                # Connection start could not read the docs; the session says so and goes on.
                assert "could not be read at startup (ReadTimeout)" in c.instructions
                slow = await c.call_tool("kelvo_page_read", {"op": "get", "page_id": "pg_0009"})
                status = reply_of(await c.call_tool("kelvo_status", {}))
        finally:
            engine.close()
    text = slow.content[0].text
    assert slow.is_error and text.startswith("kelvo_page_read")
    assert "timed out in the read phase (0.3 s budget)" in text
    assert status["canvas"] == "agent_docs" and status["engine"] == "http"  # never its address


async def test_an_engine_gone_away_is_worded_and_the_session_goes_on_once_it_is_back(tmp_path):
    store = tmp_path / "canvas.db"
    eng = Process("kelvo_mcp.engine", "--store", store, "--listen", "127.0.0.1:0")
    address = eng.address
    engine = http_engine(eng.url)
    try:
        async with serving(engine) as (url, _), client(url) as c:
            await save(c, "before")
            eng.stop()
            down = [await c.call_tool("kelvo_docs_read", {"op": "get", "name": "before"}),
                    await c.call_tool("kelvo_doc_save", {"name": "during", "body": "x"}),
                    await c.call_tool("kelvo_page_read", {"op": "get", "page_id": "pg_0009"})]
            eng = Process("kelvo_mcp.engine", "--store", store, "--listen", address)
            got = reply_of(await c.call_tool("kelvo_docs_read", {"op": "get", "name": "before"}))
            await save(c, "after")
            missing = await c.call_tool("kelvo_docs_read", {"op": "get", "name": "during"})
    finally:
        eng.stop()
        engine.close()
    for result in down:
        text = result.content[0].text
        assert result.is_error and "Kelvo engine" in text and "inside the server" not in text, text
    assert "nothing was sent, so nothing changed" in down[1].content[0].text
    assert got["body"] == "Kept."
    assert missing.is_error  # the save refused while the engine was away never happened


def test_a_store_takes_the_state_file_in_once_and_a_foreign_file_is_refused(tmp_path, capsys):
    state, store = tmp_path / "state.json", tmp_path / "canvas.db"
    old = cli.open_engine(None, state)  # a state file as --state keeps it
    old.create_page("From the state file", [{"block_type": "paragraph", "text": "kept"}])
    first = cli.open_engine(None, state, store)
    titles = [p.title for p in first.pages]
    first.close()
    old.create_page("Written to the state file later", [])
    again = cli.open_engine(None, state, store)
    assert [p.title for p in again.pages] == titles and "From the state file" in titles
    again.close()

    foreign = tmp_path / "foreign.db"
    foreign.write_text("not a store\n" * 200)
    with pytest.raises(SystemExit) as exit_:
        cli.main(["--store", str(foreign), "--http", "127.0.0.1:0"])
    assert exit_.value.code == 2
    last = capsys.readouterr().err.strip().splitlines()[-1]
    assert last.startswith("python -m kelvo_mcp.server: error: ") and str(foreign) in last
