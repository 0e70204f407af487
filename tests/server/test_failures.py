"""Engine failures and hostile calls come back as worded tool errors; the
session survives them, and calls sent at once each get their own reply."""

import pytest

pytest.importorskip("mcp")

import anyio  # noqa: E402
import httpx  # noqa: E402

from kelvo_mcp import explain, refresh, surfaces  # noqa: E402

from server_session import reply_of, session  # noqa: E402

pytestmark = pytest.mark.anyio


async def test_engine_failures_are_worded_by_the_core(engine):
    display = surfaces.display_name(surfaces.build_surface("compact"))
    async with session(engine) as (client, _):
        await client.call_tool("kelvo_status", {})  # the first call's digest rescan is behind us

        missing = await client.call_tool("kelvo_page_read", {"op": "get", "page_id": "pg_gone"})
        expected = explain.http_failure(
            "kelvo_page_get", engine.status_error(404, "GET", "/pages/pg_gone", "Not Found"), writes=False)
        assert missing.content[0].text == surfaces.respell_text(expected, display)

        engine.fail_next("create_page", 500)
        broken = await client.call_tool("kelvo_page_edit", {"op": "create", "title": "T", "blocks": []})
        expected = explain.http_failure("kelvo_page_create", engine.status_error(
            500, "POST", "/pages", "internal error while serving the request"), writes=True)
        assert broken.content[0].text == surfaces.respell_text(expected, display)

        engine.fail_next("get_page", httpx.ReadTimeout)
        slow = await client.call_tool("kelvo_page_read", {"op": "get", "page_id": "pg_0009"})
        expected = explain.timeout("kelvo_page_get", httpx.ReadTimeout("timed out", request=engine.request(
            "GET", "/pages/pg_0009")), writes=False, read_call="kelvo_page_read(op='get', page_id='pg_0009')")
        assert slow.content[0].text == surfaces.respell_text(expected, display)

        for result in (missing, broken, slow):
            assert result.is_error
            assert result.structured_content["error"] == result.content[0].text
    assert "nothing" in broken.content[0].text.lower() or "unwritten" in broken.content[0].text.lower()


async def test_a_failed_rescan_retries_later_and_the_call_still_runs(engine):
    now = [0.0]
    config = refresh.DocsConfig(enabled=True, canvas=engine.canvas, calls=100, minutes=1)
    async with session(engine, config=config, clock=lambda: now[0]) as (client, conn):
        first = reply_of(await client.call_tool("kelvo_status", {}))  # the digest of the scan at connection start
        assert conn.agent.history[-1].digest == "due; took the connection's latest digest"
        engine.fail_next("list_pages", 503)
        now[0] += 60
        failed = reply_of(await client.call_tool("kelvo_status", {}))
        assert conn.agent.history[-1].digest.startswith("due, but the rescan failed with HTTP 503")
        assert failed["standing_docs"] == first["standing_docs"]
        now[0] += refresh.RETRY_SECONDS - 1
        reply_of(await client.call_tool("kelvo_status", {}))
        assert conn.agent.history[-1].digest == "not due"
        now[0] += 1
        reply_of(await client.call_tool("kelvo_status", {}))
        assert conn.agent.history[-1].digest.startswith("rebuilt")
    assert conn.rescans == 1


async def test_calls_sent_at_once_get_their_own_replies(engine):
    ids = [engine.add_page(f"page {i}", [{"block_type": "paragraph", "text": f"body {i}"}]).page_id
           for i in range(32)]
    config = refresh.DocsConfig(enabled=True, canvas=engine.canvas, calls=5)
    replies = {}

    async def get(client, page_id):
        replies[page_id] = await client.call_tool("kelvo_page_read", {"op": "get", "page_id": page_id})

    async with session(engine, config=config) as (client, conn):
        async with anyio.create_task_group() as tg:
            for page_id in ids:
                tg.start_soon(get, client, page_id)
    for i, page_id in enumerate(ids):
        got = reply_of(replies[page_id])
        assert (got["page_id"], got["title"], got["text"]) == (page_id, f"page {i}", f"body {i}")
    assert 1 <= conn.rescans <= 32 // 5
    assert sum(r.digest.startswith("rebuilt") for r in conn.agent.history) == conn.rescans


def hostile_calls(surface):
    """A few hundred calls no agent should make: unknown names and ops, each
    argument of each op given a value of the wrong kind (the others valid, so
    the call reaches its handler), huge texts, deep nesting and blocks the
    page tools cannot take."""
    from kelvo_mcp.tools import _BY_NAME

    huge = "x" * 1_000_000
    deep = []
    for _ in range(200):  # as deep as the SDK's client serialises
        deep = [deep]
    wrong = [None, 12, huge, [1, {"a": deep}], "\x00\ud800"]
    calls = [(name, {}) for name in ("", "kelvo_", huge, "kelvo_page_get", "KELVO_STATUS", "kelvo_doc_save\n")]
    for st in surface:
        for op, member in (st.ops.items() or [(None, st.name)]):
            base = {"op": op} if op else {}
            if member == "__grammar__" or member not in _BY_NAME:
                continue
            schema = _BY_NAME[member].input_schema
            valid = {**base, **{k: _SAMPLE[schema["properties"][k]["type"]] for k in schema["required"]}}
            calls += [(st.name, {**valid, prop: value}) for prop in schema["properties"] for value in wrong]
            calls += [(st.name, {**valid, huge: 1})]
        if st.ops:
            calls += [(st.name, {"op": bad}) for bad in (None, 3, huge, "GRAMMAR ", "__grammar__")]
    calls += [("kelvo_page_edit", {"op": "create", "title": "t", "blocks": blocks, "icon": icon})
              for blocks in ([1], [{"text": 5}], [{"block_type": 5}], [{"block_type": huge, "text": huge}],
                             [{"block_type": "h2", "text": "x", "order": "z", "block_id": None}], [deep])
              for icon in ("🚀", "🚀🚀🚀🚀🚀")]
    calls += [("kelvo_page_edit", {"op": "update", "page_id": "pg_0009", "updates": updates})
              for updates in ([{}], [{"block_id": 1}], [{"block_id": "nope", "text": "x"}], [{"block_id": huge}])]
    return calls


_SAMPLE = {"string": "x", "integer": 1, "number": 1.0, "boolean": True, "array": [], "object": {}}


async def test_hostile_calls_are_tool_errors_and_the_session_goes_on(engine):
    surface = surfaces.build_surface("compact")
    calls = hostile_calls(surface)
    assert len(calls) >= 300
    async with session(engine) as (client, conn):
        for name, args in calls:
            result = await client.call_tool(name, args)
            text = result.content[0].text
            assert "failed inside the server" not in text, (name, str(args)[:200])
            # A refusal of the surface quotes the call exactly; the host's own never echoes a huge argument.
            if conn.agent.history[-1].ran:
                assert len(text) < 2_000 or not result.is_error, (name, str(args)[:200])
        still = reply_of(await client.call_tool("kelvo_page_read", {"op": "get", "page_id": "pg_0009"}))
    assert still["title"] == "Sprint 42 planning notes"
