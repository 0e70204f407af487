"""Many sessions in one server over streamable HTTP: each its own
connection, calls at once on all of them, a client gone mid-call, and the
requests the server refuses before anything runs."""

import json

import pytest

pytest.importorskip("mcp")

import anyio  # noqa: E402
import httpx  # noqa: E402

from kelvo_mcp import refresh, surfaces  # noqa: E402
from kelvo_mcp.server import cli  # noqa: E402

from http_host import Process, client, serving  # noqa: E402
from server_session import reply_of  # noqa: E402

pytestmark = pytest.mark.anyio

INITIALIZE = {"jsonrpc": "2.0", "id": 1, "method": "initialize",
              "params": {"protocolVersion": "2025-06-18", "capabilities": {},
                         "clientInfo": {"name": "probe", "version": "0"}}}
ACCEPT = {"Accept": "application/json, text/event-stream"}


def requested(body):
    return [d["name"] for d in body["standing_docs"]["requested"]]


async def test_sessions_share_their_scope_and_each_digest_follows_its_own_calls(engine):
    async with serving(engine) as (url, host):
        async with client(url) as a, client(url) as b:
            assert a.instructions.startswith("You are connected to Kelvo")
            assert [t.name for t in (await b.list_tools()).tools] == [
                st.name for st in surfaces.build_surface("compact")]
            first = reply_of(await b.call_tool("kelvo_status", {}))
            assert "standing_docs" in first  # built from the scan that opened the scope
            assert first["agent"] == {"key": "session", "calls": 1}
            reply_of(await a.call_tool("kelvo_doc_save", {"name": "a-skill", "kind": "skill", "body": "Do it."}))
            # a's timer comes due after its own calls; the scope's rescan runs beside them.
            seen = []
            for _ in range(400):
                seen = requested(reply_of(await a.call_tool("kelvo_status", {})))
                if "a-skill" in seen:
                    break
                await anyio.sleep(0.01)
            assert "a-skill" in seen
            (conn,) = host.scopes.values()
            rescans = conn.rescans
            # b's own calls are few: its digest is still the one it was given.
            assert "a-skill" not in requested(reply_of(await b.call_tool("kelvo_status", {})))
            # Once b falls due it takes the scope's newer registry: no rescan of its own.
            for _ in range(refresh.DEFAULT_REFRESH_CALLS):
                last = reply_of(await b.call_tool("kelvo_status", {}))
            assert "a-skill" in requested(last)
            assert last["agent"]["calls"] == 2 + refresh.DEFAULT_REFRESH_CALLS
            assert last["shared"]["agents"] == 2 and conn.rescans == rescans
    assert host.opened == 1


async def test_calls_on_many_sessions_at_once_each_get_their_own_replies(engine):
    ids = [engine.add_page(f"page {i}", [{"block_type": "paragraph", "text": f"body {i}"}]).page_id
           for i in range(16)]
    replies = {}

    async def work(url, n):
        async with client(url) as c:
            async with anyio.create_task_group() as tg:
                for page_id in ids[n::4]:
                    tg.start_soon(read, c, n, page_id)
            made = reply_of(await c.call_tool("kelvo_page_edit", {
                "op": "create", "title": f"from session {n}", "blocks": [{"text": f"written by {n}"}]}))
            replies[n, "made"] = reply_of(await c.call_tool("kelvo_page_read", {"op": "get",
                                                                                "page_id": made["page_id"]}))

    async def read(c, n, page_id):
        replies[n, page_id] = reply_of(await c.call_tool("kelvo_page_read", {"op": "get", "page_id": page_id}))

    async with serving(engine, engine_threads=4) as (url, _):
        async with anyio.create_task_group() as tg:
            for n in range(8):
                tg.start_soon(work, url, n)
    for n in range(8):
        assert replies[n, "made"]["text"] == f"written by {n}"
        for page_id in ids[n::4]:
            i = ids.index(page_id)
            assert (replies[n, page_id]["title"], replies[n, page_id]["text"]) == (f"page {i}", f"body {i}")


async def test_a_client_gone_mid_call_leaves_the_other_sessions_alone(engine):
    import threading

    armed, inside, release = threading.Event(), threading.Event(), threading.Event()
    get_page = engine.get_page

    def held(page_id):
        if page_id == "pg_0009" and armed.is_set():
            inside.set()
            release.wait(30)
        return get_page(page_id)

    engine.get_page = held
    async with serving(engine) as (url, host):
        async with client(url) as other:
            with anyio.CancelScope() as gone:
                async with client(url) as leaving:
                    armed.set()
                    async with anyio.create_task_group() as tg:
                        tg.start_soon(leaving.call_tool, "kelvo_page_read", {"op": "get", "page_id": "pg_0009"})
                        await anyio.to_thread.run_sync(inside.wait, 30)
                        gone.cancel()
            assert gone.cancelled_caught
            status = reply_of(await other.call_tool("kelvo_status", {}))
            release.set()
            armed.clear()
            page = reply_of(await other.call_tool("kelvo_page_read", {"op": "get", "page_id": "pg_0009"}))
        async with client(url) as later:
            again = reply_of(await later.call_tool("kelvo_page_read", {"op": "get", "page_id": "pg_0009"}))
    assert status["canvas"] == "agent_docs"
    assert page["title"] == again["title"] == "Sprint 42 planning notes"


async def test_requests_without_the_token_or_from_a_foreign_origin_run_nothing(engine):
    async with serving(engine, token="s3cret-token") as (url, host):
        async with httpx.AsyncClient() as http:
            post = lambda **headers: http.post(url, json=INITIALIZE, headers={**ACCEPT, **headers})  # noqa: E731
            missing = await post()
            wrong = await post(Authorization="Bearer not-it")
            origin = await post(Authorization="Bearer s3cret-token", Origin="http://evil.example")
            rebound = await post(Authorization="Bearer s3cret-token", Host="evil.example")
        assert (missing.status_code, wrong.status_code, origin.status_code, rebound.status_code) == (
            401, 401, 403, 421)
        assert missing.headers["www-authenticate"].startswith("Bearer")
        assert (host.opened, list(engine.calls)) == (0, [])
        async with client(url, token="s3cret-token", headers={"Origin": url.rsplit("/", 1)[0]}) as c:
            assert not (await c.call_tool("kelvo_status", {})).is_error
    assert host.opened == 1


def test_listening_beyond_loopback_needs_a_token_file(tmp_path, capsys):
    with pytest.raises(SystemExit) as exit_:
        cli.main(["--http", "0.0.0.0:0"])
    assert exit_.value.code == 2
    assert capsys.readouterr().err.strip().splitlines()[-1].endswith(
        "--http 0.0.0.0:0 listens beyond loopback: give --token-file FILE or --oauth-issuer URL")
    (tmp_path / "token").write_text("two words\n")
    with pytest.raises(SystemExit):
        cli.main(["--http", "127.0.0.1:0", "--token-file", str(tmp_path / "token")])
    assert "line 1: a token is one word without spaces" in capsys.readouterr().err


async def test_the_command_serves_sessions_with_a_token(tmp_path):
    (tmp_path / "token").write_text("tok-123\n")
    with Process("kelvo_mcp.server", "--http", "127.0.0.1:0", "--token-file", tmp_path / "token") as proc:
        assert proc.url.endswith("/mcp")
        async with client(proc.url, token="tok-123") as c:
            saved = reply_of(await c.call_tool("kelvo_doc_save", {"name": "over-http", "body": "Yes."}))
            got = reply_of(await c.call_tool("kelvo_docs_read", {"op": "get", "name": "over-http"}))
        async with httpx.AsyncClient() as http:
            refused = await http.post(proc.url, json=INITIALIZE, headers=ACCEPT)
    assert got["page_id"] == saved["page_id"] and got["body"] == "Yes."
    assert refused.status_code == 401 and json.loads(refused.text)["error"] == "invalid_token"


async def test_clients_without_a_session_share_one_connection_and_get_its_instructions(engine):
    from mcp import Client

    async with serving(engine) as (url, host):
        async with Client(url) as first, Client(url) as second:  # the SDK's default: no handshake
            assert first.instructions == second.instructions
            assert first.instructions.startswith("You are connected to Kelvo")
            assert "STANDING INSTRUCTIONS" in first.instructions
            reply_of(await first.call_tool("kelvo_status", {}))
            reply_of(await second.call_tool("kelvo_status", {}))
    assert host.opened == 1
