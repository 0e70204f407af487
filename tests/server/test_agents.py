"""Agents in two tiers: the scope they share (its registry, handshake and one
rescan at a time) and each agent's own record (calls, history, the cadence of
its digest), told apart through what the SDK's default client sends; both
tiers bounded."""

import contextlib
import gc
import tracemalloc

import pytest

pytest.importorskip("mcp")

import anyio  # noqa: E402

from kelvo_mcp import refresh  # noqa: E402
from kelvo_mcp.server.bounded import Bounded  # noqa: E402
from kelvo_mcp.server.connection import open_connection  # noqa: E402
from kelvo_mcp.server.pipeline import JOINED, RESCAN, TAKEN, digest_due, handle_call, rebuild_digest  # noqa: E402
from kelvo_mcp.server.sessions import SessionHost  # noqa: E402

from http_host import serving  # noqa: E402
from server_session import reply_of  # noqa: E402

pytestmark = pytest.mark.anyio

SCAN = ("list_pages", refresh.MAX_REGISTRY_PAGES)


def agent_client(url, ident=None):
    """The SDK's client at its default settings (the single-exchange era),
    naming itself in the com.kelvo/agent extension when given an id."""
    from mcp import Client
    from mcp.client.extension import advertise

    return Client(url, extensions=[advertise("com.kelvo/agent", {"id": ident})] if ident is not None else None)


def config(engine, calls):
    return refresh.DocsConfig(enabled=True, canvas=engine.canvas, calls=calls)


async def test_agents_with_their_own_ids_keep_their_own_calls_and_history(engine):
    async with serving(engine) as (url, host):
        async with agent_client(url, "agent-a") as a, agent_client(url, "agent-b") as b:
            for _ in range(3):
                reply_of(await a.call_tool("kelvo_page_read", {"op": "get", "page_id": "pg_0009"}))
            mine = reply_of(await a.call_tool("kelvo_status", {}))
            theirs = reply_of(await b.call_tool("kelvo_status", {}))
        async with agent_client(url) as nameless, agent_client(url) as other:
            anon = reply_of(await nameless.call_tool("kelvo_status", {}))
            also_anon = reply_of(await other.call_tool("kelvo_status", {}))
    assert mine["agent"] == {"key": "agent-id", "calls": 4}
    assert theirs["agent"] == {"key": "agent-id", "calls": 1}
    assert mine["shared"]["agents"] == 1 and theirs["shared"]["agents"] == 2
    # Without an id every such client is the scope's one anonymous agent, and is told so.
    assert anon["agent"]["key"] == "anonymous" and anon["agent"]["calls"] == 1
    assert also_anon["agent"]["calls"] == 2 and "counts as this one agent" in also_anon["agent"]["note"]
    records = {key[3]: agent for key, (_, agent) in host.agents.items()}
    assert [r.ran for r in records["agent-a"].history] == ["kelvo_page_get"] * 3 + ["kelvo_status"]
    assert [r.ran for r in records["agent-b"].history] == ["kelvo_status"]
    assert host.opened == 1


async def test_an_approval_after_start_reaches_a_new_agents_instructions_within_one_rescan(engine):
    async with serving(engine, config=config(engine, 2)) as (url, host):
        async with agent_client(url, "early") as early:
            assert "code-review" not in early.instructions
            engine.approve("pg_0005")  # the user approves the code-review skill in the app
            reply_of(await early.call_tool("kelvo_status", {}))  # takes the digest of the opening scan
            reply_of(await early.call_tool("kelvo_status", {}))
            reply_of(await early.call_tool("kelvo_status", {}))  # due: the scope's rescan starts
            (conn,) = host.scopes.values()
            with anyio.fail_after(10):
                while conn.rescans < 1:
                    await anyio.sleep(0.01)
            async with agent_client(url, "late") as late:
                assert "code-review" in late.instructions
            last = reply_of(await early.call_tool("kelvo_status", {}))
    assert "code-review" in [s["name"] for s in last["standing_docs"]["skills"]]
    assert last["shared"]["rescans"] == 1 and last["shared"]["last_rescan"].endswith("+00:00")


async def test_agents_falling_due_at_once_share_one_rescan(engine):
    held = anyio.Event()
    list_pages = engine.list_pages

    def slow_list(limit=50, cursor=None):
        if limit == refresh.MAX_REGISTRY_PAGES:
            anyio.from_thread.run(held.wait)  # the rescan stays under way while the others fall due
        return list_pages(limit=limit, cursor=cursor)

    async with serving(engine, config=config(engine, 2)) as (url, host):
        clients = [agent_client(url, f"agent-{n}") for n in range(8)]
        async with contextlib.AsyncExitStack() as stack:
            agents = [await stack.enter_async_context(c) for c in clients]
            for a in agents:
                await a.call_tool("kelvo_status", {})
                await a.call_tool("kelvo_status", {})
            engine.list_pages = slow_list
            before = list(engine.calls).count(SCAN)
            async with anyio.create_task_group() as tg:
                for a in agents:
                    tg.start_soon(a.call_tool, "kelvo_status", {})
            (conn,) = host.scopes.values()
            assert conn.rescanning and len(conn.waiting) == 8
            held.set()
            with anyio.fail_after(10):
                while conn.rescanning:
                    await anyio.sleep(0.01)
            replies = [reply_of(await a.call_tool("kelvo_status", {})) for a in agents]
    assert list(engine.calls).count(SCAN) - before == 1
    assert {r["shared"]["rescans"] for r in replies} == {1}
    assert {r["shared"]["agents"] for r in replies} == {8}


def test_each_agents_digest_follows_its_own_calls(engine):
    conn = open_connection(engine, config=config(engine, 3))
    a, b = conn.new_agent("agent-id"), conn.new_agent("agent-id")
    assert [digest_due(conn, x) for x in (a, b)] == [TAKEN, TAKEN]  # new records take what the scope has
    opened = conn.generation
    steps = [digest_due(conn, a) for _ in range(3)]
    assert steps == ["not due", "not due", RESCAN]  # a's own third call, whatever b does
    assert digest_due(conn, b) == "not due"
    rebuild_digest(conn)
    assert a.generation == conn.generation > opened and b.generation == opened
    # b falls due on its own count and takes the newer registry without a rescan of its own.
    assert [digest_due(conn, b) for _ in range(2)] == ["not due", TAKEN]
    assert (b.generation, conn.rescans) == (conn.generation, 1)
    # A rescan under way is joined, never doubled.
    for _ in range(3):
        step_a = digest_due(conn, a)
    for _ in range(3):
        step_b = digest_due(conn, b)
    assert (step_a, step_b, conn.waiting) == (RESCAN, JOINED, [a, b])


def test_eviction_keeps_the_agent_records_bounded_and_an_evicted_agent_is_shown_things_again(engine):
    host = SessionHost(engine, max_agents=64, max_scopes=2)
    conn = open_connection(engine)
    key = (engine.canvas, "compact", False)

    def churn(first, count):
        for n in range(first, first + count):
            handle_call(conn, "kelvo_status", {}, agent=host.agent("local", key, conn, "agent-id", f"agent-{n}"))

    churn(0, 200)
    returning = host.agent("local", key, conn, "agent-id", "agent-0")
    assert returning.calls == 0 and returning.digest is None  # evicted: a new record
    assert "standing_docs" in handle_call(conn, "kelvo_status", {}, agent=returning).body
    assert len(host.agents) == 64 and conn.agents == 64
    gc.collect()
    tracemalloc.start()
    churn(1000, 500)
    gc.collect()
    first = tracemalloc.get_traced_memory()[0]
    churn(2000, 2000)
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - first
    tracemalloc.stop()
    assert len(host.agents) == 64 and conn.agents == 64
    assert grown < 64 * 1024, grown


def test_idle_entries_go_when_the_map_is_next_touched():
    now = [0.0]
    gone = []
    bounded = Bounded(10, 60, clock=lambda: now[0], on_evict=lambda k, v: gone.append(k))
    bounded.put("a", 1)
    bounded.put("b", 2)
    now[0] = 30
    assert bounded.get("a") == 1  # used: its idle time starts again
    now[0] = 61
    bounded.put("c", 3)
    assert (gone, bounded.get("a"), len(bounded)) == (["b"], 1, 2)
    now[0] = 200
    bounded.sweep()
    assert len(bounded) == 0 and gone == ["b", "c", "a"]  # least recently used first
