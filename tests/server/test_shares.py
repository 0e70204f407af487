"""Each principal its share: sessions refused past it with 429 before the SDK
sees them, agent records that evict their own principal's first, engine
slots granted round-robin among the principals waiting, and a doc looked
up by name in one engine request when the registry knows it."""

import contextlib
import threading
import time

import pytest

pytest.importorskip("mcp")

import anyio  # noqa: E402
import httpx  # noqa: E402

from kelvo_mcp.server.session_ledger import SessionLedger  # noqa: E402
from kelvo_mcp.server.sessions import SessionHost  # noqa: E402
from kelvo_mcp.server.shares import Busy, FairSlots, SharedBounded  # noqa: E402

from http_host import client, serving  # noqa: E402
from server_session import reply_of  # noqa: E402

pytestmark = pytest.mark.anyio

TOKENS = "alice:alice-token\nbob:bob-token\n"
INITIALIZE = {"jsonrpc": "2.0", "id": 1, "method": "initialize",
              "params": {"protocolVersion": "2025-06-18", "capabilities": {},
                         "clientInfo": {"name": "probe", "version": "0"}}}
ACCEPT = {"Accept": "application/json, text/event-stream"}


def test_a_principal_at_its_share_loses_its_own_oldest_record_and_a_full_map_the_furthest_over():
    gone = []
    now = [0.0]
    records = SharedBounded(6, 100, share=0.5, owner=lambda key: key[0], clock=lambda: now[0],
                            on_evict=lambda key, _: gone.append(key))
    for n in (1, 2, 3):
        records.put(("alice", n), n)
    records.get(("alice", 1))  # used again: alice's least recently used is now 2
    records.put(("alice", 4), 4)  # at her share (3 of 6): her own oldest goes
    for n in range(5):
        records.put(("bob", n), n)
    assert gone == [("alice", 2), ("bob", 0), ("bob", 1)]
    assert records.held("alice") == records.held("bob") == 3
    # The map is full: carol's records evict the principal furthest over its share (a tie goes to the
    # oldest record), never carol's own.
    records.put(("carol", 1), 1)
    assert gone[-1] == ("alice", 3)
    records.put(("carol", 2), 2)
    assert gone[-1] == ("bob", 2)
    assert len(records) == 6 and records.held("carol") == 2
    now[0] = 150.0
    records.sweep()
    assert len(records) == 0 and records.evicted == len(gone) == 11


async def test_one_principals_backlog_delays_anothers_call_by_one_slot_turn_and_its_queue_is_bounded():
    turn = 0.2
    slots = FairSlots(2, 1.0, queue_per_slot=32)  # alice may take every slot: only the order protects bob
    started = {}

    def slow(n):
        started[n] = time.monotonic()
        time.sleep(turn)

    async def call(who, n):
        await slots.run(who, lambda: slow(n))

    async with anyio.create_task_group() as tg:
        for n in range(50):
            tg.start_soon(call, "alice", n)
        await anyio.sleep(0.05)
        asked = time.monotonic()
        assert slots.waiting("alice") == 48
        tg.start_soon(call, "bob", "bob")
        await anyio.sleep(turn * 3)
        assert "bob" in started and started["bob"] - asked < turn * 1.5
        tg.cancel_scope.cancel()  # the rest of alice's backlog is not waited for
    assert slots.free == 2 and not slots.held and not slots.queues  # cancelled waiters left no slot behind

    bounded = FairSlots(1, 1.0, queue_per_slot=1)
    release = threading.Event()
    async with anyio.create_task_group() as tg:
        tg.start_soon(bounded.run, "alice", lambda: release.wait(10))
        tg.start_soon(bounded.run, "alice", lambda: None)
        await anyio.sleep(0.05)
        with pytest.raises(Busy) as busy:
            await bounded.run("alice", lambda: None)
        assert busy.value.retry_seconds >= 1
        assert "busy" in busy.value.sentence("kelvo_status") and "Try it again in" in busy.value.sentence("x")
        release.set()


async def test_slots_beyond_a_share_go_to_the_other_principals(engine):
    """Through the host: alice's 50 slow calls hold her share of the slots and fill her queue (the rest get
    the busy sentence, and ran nothing); bob's call takes a free slot at once."""
    get_page = engine.get_page
    slow = threading.Event()

    def held(page_id):
        if page_id == "pg_0009":
            slow.wait(0.5)
        return get_page(page_id)

    engine.get_page = held
    host = SessionHost(engine, engine_threads=4, principal_share=0.5)
    async with host.run():
        key, conn = await host.scope()  # one scope: slots are shared out by principal, not by scope

        replies = []

        async def read(principal, page_id):
            agent = host.agent(principal, key, conn, "anonymous", "")
            replies.append(await host.call(principal, conn, agent, "kelvo_page_read", {"op": "get", "page_id": page_id}))

        async with anyio.create_task_group() as tg:
            for _ in range(50):
                tg.start_soon(read, "alice", "pg_0009")
            await anyio.sleep(0.05)
            asked = time.monotonic()
            await read("bob", "pg_0001")
            took = time.monotonic() - asked
            assert took < 0.3 and replies[-1].error is None and replies[-1].body["page_id"] == "pg_0001"
    errors = [r.error for r in replies if r.error]
    assert len(errors) == 50 - 2 - 8  # two running, eight waiting (four a slot of her two)
    assert all("the server is busy with 8 earlier calls of this principal" in e for e in errors)
    assert sum(1 for r in replies if r.error is None) == 11


async def test_a_principal_past_its_session_share_gets_429_and_the_others_are_served(engine):
    async with serving(engine, token=TOKENS, max_sessions=4, host_options={"principal_share": 0.5}) as (url, _):
        async with contextlib.AsyncExitStack() as stack:
            first = await stack.enter_async_context(client(url, token="alice-token"))
            await stack.enter_async_context(client(url, token="alice-token"))
            async with httpx.AsyncClient() as http:
                third = await http.post(url, json=INITIALIZE, headers={**ACCEPT, "Authorization": "Bearer alice-token"})
            assert third.status_code == 429 and int(third.headers["retry-after"]) >= 1
            assert third.json()["error"]["message"].startswith("Too many open sessions for this principal")
            async with client(url, token="bob-token") as bob:
                assert not (await bob.call_tool("kelvo_status", {})).is_error
            assert not (await first.call_tool("kelvo_status", {})).is_error
        # Both of alice's sessions ended (the client's DELETE): her share is free again.
        async with client(url, token="alice-token") as again:
            assert not (await again.call_tool("kelvo_status", {})).is_error


async def test_another_principals_new_agent_ids_never_evict_a_principals_records(engine):
    import httpx2
    from mcp import Client
    from mcp.client.extension import advertise
    from mcp.client.streamable_http import streamable_http_client

    async def status(url, token, ident):
        async with httpx2.AsyncClient(headers={"Authorization": f"Bearer {token}"}) as http:
            async with Client(streamable_http_client(url, http_client=http),
                              extensions=[advertise("com.kelvo/agent", {"id": ident})]) as c:
                return reply_of(await c.call_tool("kelvo_status", {}))["agent"]

    options = {"principal_share": 0.5, "max_agents": 4}
    async with serving(engine, token=TOKENS, host_options=options) as (url, host):
        for ident in ("a1", "a2"):
            assert await status(url, "alice-token", ident) == {"key": "agent-id", "calls": 1}
        for n in range(5):
            await status(url, "bob-token", f"b{n}")
        assert await status(url, "alice-token", "a1") == {"key": "agent-id", "calls": 2}
        assert await status(url, "alice-token", "a2") == {"key": "agent-id", "calls": 2}
        assert await status(url, "bob-token", "b0") == {"key": "agent-id", "calls": 1}  # bob's own went first
        assert host.agents.held("alice") == host.agents.held("bob") == 2


async def test_a_doc_the_registry_knows_is_read_in_one_engine_request_and_a_stale_entry_walks(engine):
    from kelvo_mcp.server.connection import open_connection
    from kelvo_mcp.server.pipeline import handle_call

    conn = open_connection(engine)
    name = conn.docs[0].name
    engine.calls.clear()
    got = handle_call(conn, "kelvo_docs_read", {"op": "get", "name": name})
    assert got.error is None and got.body["name"] == name
    assert [call for call, _ in engine.calls] == ["get_page"]
    # The page named in the registry is gone: the walk finds what is there now.
    gone = conn.docs[0].page_id
    engine.delete_page(gone)
    engine.calls.clear()
    after = handle_call(conn, "kelvo_docs_read", {"op": "get", "name": name})
    assert [call for call, _ in engine.calls][:2] == ["get_page", "list_pages"]
    assert (name in after.error) if after.error else after.body["page_id"] != gone


async def test_sessions_left_idle_free_the_share_on_the_sdks_own_idle_rule(engine):
    options = {"max_sessions": 4, "session_idle_timeout": 1.0, "host_options": {"principal_share": 0.5}}
    async with serving(engine, token=TOKENS, **options) as (url, _):
        async with httpx.AsyncClient(headers={**ACCEPT, "Authorization": "Bearer alice-token"}) as http:
            opened = [await http.post(url, json=INITIALIZE) for _ in range(2)]
            ids = [r.headers["mcp-session-id"] for r in opened]
            refused = await http.post(url, json=INITIALIZE)
            # Another principal's request under alice's session id is the SDK's 404 and leaves her count alone.
            stolen = await http.post(url, json=INITIALIZE, headers={"Authorization": "Bearer bob-token",
                                                                   "Mcp-Session-Id": ids[0]})
            assert (refused.status_code, refused.headers["retry-after"], stolen.status_code) == (429, "1", 404)
            assert (await http.post(url, json=INITIALIZE)).status_code == 429
            await anyio.sleep(1.3)
            gone = await http.post(url, json=INITIALIZE, headers={"Mcp-Session-Id": ids[0]})
            again = await http.post(url, json=INITIALIZE)
    assert [r.status_code for r in opened] == [200, 200]
    assert (gone.status_code, again.status_code) == (404, 200)  # the SDK forgot them when we did


async def test_the_sessions_of_a_principal_that_never_comes_back_are_dropped_once_idle():
    """The ledger counts sessions from the SDK's answers; alice's idle sessions leave nothing behind once
    the idle time has passed, though she never returns to have them counted again."""
    now, who, ids = [0.0], ["alice"], iter(range(100))

    async def sdk(scope, receive, send):  # the session manager: every opening answered with a new id
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"mcp-session-id", f"s{next(ids)}".encode())]})
        await send({"type": "http.response.body", "body": b""})

    ledger = SessionLedger(sdk, principal=lambda: who[0], max_sessions=8, share=0.5, idle_seconds=60,
                           clock=lambda: now[0])

    async def open_one():
        sent = []

        async def send(message):
            sent.append(message)

        await ledger({"type": "http", "method": "POST", "headers": []}, None, send)
        return sent[0]["status"]

    assert [await open_one() for _ in range(5)] == [200, 200, 200, 200, 429]
    now[0], who[0] = 61.0, "bob"
    assert await open_one() == 200
    assert [s.principal for s in ledger.sessions.values()] == ["bob"] and "alice" not in ledger.owned
