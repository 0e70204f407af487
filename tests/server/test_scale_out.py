"""Running the server as a team does: principals from a token file, the
SDK's limits, liveness and readiness routes, serving without sessions, and
two processes on one store answering one client in turn."""

import json
import signal

import pytest

pytest.importorskip("mcp")

import anyio  # noqa: E402
import httpx  # noqa: E402

from kelvo_mcp.server import cli  # noqa: E402

from http_host import Process, client, serving  # noqa: E402
from server_session import reply_of  # noqa: E402

pytestmark = pytest.mark.anyio

ACCEPT = {"Accept": "application/json, text/event-stream"}
INITIALIZE = {"jsonrpc": "2.0", "id": 1, "method": "initialize",
              "params": {"protocolVersion": "2025-06-18", "capabilities": {},
                         "clientInfo": {"name": "probe", "version": "0"}}}
LIST = {"jsonrpc": "2.0", "id": 2, "method": "tools/list", "params": {}}


async def test_principals_share_the_scope_keep_their_own_agents_and_a_session_answers_only_its_credential(engine):
    async with serving(engine, token="alice:tok-a\nbob:tok-b\n# a comment\nbob:tok-b2\n") as (url, host):
        async with client(url, token="tok-a") as a, client(url, token="tok-b") as b, client(url, token="tok-b2") as b2:
            for c in (a, b, b2):
                reply_of(await c.call_tool("kelvo_status", {}))
            mine = reply_of(await b2.call_tool("kelvo_status", {}))
        async with httpx.AsyncClient() as http:
            opened = await http.post(url, json=INITIALIZE, headers={**ACCEPT, "Authorization": "Bearer tok-a"})
            session = {**ACCEPT, "Mcp-Session-Id": opened.headers["mcp-session-id"],
                       "MCP-Protocol-Version": "2025-06-18"}
            stolen = await http.post(url, json=LIST, headers={**session, "Authorization": "Bearer tok-b"})
            own = await http.post(url, json=LIST, headers={**session, "Authorization": "Bearer tok-a"})
    # One canvas, profile and rights: one scope, whoever speaks; the agent records stay each principal's.
    assert [key for key, _ in host.scopes.items()] == [(engine.canvas, "compact", False)] and host.opened == 1
    assert sorted({key[0] for key, _ in host.agents.items()}) == ["alice", "bob"]
    assert mine["shared"]["agents"] == 3
    assert (stolen.status_code, own.status_code) == (404, 200)


async def test_health_answers_anyone_and_readiness_asks_the_engine_at_most_once_a_second(engine):
    now = [0.0]
    async with serving(engine, token="ops:tok", host_options={"clock": lambda: now[0]}) as (url, host):
        base = url.rsplit("/", 1)[0]
        async with httpx.AsyncClient() as http:
            live = await http.get(f"{base}/healthz", headers={"Host": "evil.example"})
            posted = await http.post(f"{base}/healthz")
            probes = [await http.get(f"{base}/readyz") for _ in range(20)]
            asked = list(engine.calls).count(("list_pages", 1))
            engine.fail_next("list_pages", 503)
            cached = await http.get(f"{base}/readyz")
            now[0] += 1.0
            down = await http.get(f"{base}/readyz")
            mcp = await http.post(url, json=INITIALIZE, headers=ACCEPT)
    assert (live.status_code, live.text, posted.status_code) == (200, "ok\n", 405)
    assert {p.status_code for p in probes} == {200} and probes[0].json() == {"ready": True}
    assert asked == 1
    assert (cached.status_code, down.status_code, down.json()) == (200, 503, {"ready": False})
    assert mcp.status_code == 401 and host.opened == 0


async def test_the_sdks_limits_are_the_servers_options(engine):
    async with serving(engine, max_sessions=1, max_body_bytes=4096) as (url, _):
        async with client(url) as first:
            async with httpx.AsyncClient() as http:
                refused = await http.post(url, json=INITIALIZE, headers=ACCEPT)
                big = await http.post(url, content=b"x" * 5000, headers={**ACCEPT, "Content-Type": "application/json"})
            reply_of(await first.call_tool("kelvo_status", {}))
    assert (refused.status_code, big.status_code) == (503, 413)


def test_session_limits_are_refused_beside_stateless(capsys):
    for extra in (["--max-sessions", "5"], ["--session-idle-timeout", "60"]):
        with pytest.raises(SystemExit) as exit_:
            cli.main(["--http", "127.0.0.1:0", "--stateless", *extra])
        assert exit_.value.code == 2
        assert capsys.readouterr().err.strip().splitlines()[-1].endswith(
            "--max-sessions and --session-idle-timeout limit sessions, which --stateless does not keep")


async def test_without_sessions_the_handshake_era_is_served_too(engine):
    async with serving(engine, stateless=True) as (url, host):
        async with client(url) as c:
            reply_of(await c.call_tool("kelvo_status", {}))
            status = reply_of(await c.call_tool("kelvo_status", {}))
    assert status["agent"]["key"] == "anonymous" and status["agent"]["calls"] == 2


async def test_a_token_file_read_again_on_sighup_rotates_tokens(tmp_path):
    tokens = tmp_path / "tokens"
    tokens.write_text("ci:old-token\n")
    with Process("kelvo_mcp.server", "--http", "127.0.0.1:0", "--token-file", tokens, "--shutdown-seconds", "1") as proc:
        async with client(proc.url, token="old-token") as c:
            reply_of(await c.call_tool("kelvo_status", {}))
        tokens.write_text("ci:new-token\n")
        proc.proc.send_signal(signal.SIGHUP)
        async with httpx.AsyncClient() as http:
            with anyio.fail_after(10):
                while (await http.post(proc.url, json=INITIALIZE, headers={
                        **ACCEPT, "Authorization": "Bearer old-token"})).status_code != 401:
                    await anyio.sleep(0.05)
        async with client(proc.url, token="new-token") as c:
            reply_of(await c.call_tool("kelvo_status", {}))


def alternate(ports):
    """An httpx2 transport that sends each request to the next of several
    servers in turn, as a load balancer without sticky routing does."""
    import httpx2

    class Alternate(httpx2.AsyncBaseTransport):
        def __init__(self):
            self.sent, self.inner = 0, httpx2.AsyncHTTPTransport()

        async def handle_async_request(self, request):
            request.url = request.url.copy_with(port=ports[self.sent % len(ports)])
            request.headers["Host"] = f"127.0.0.1:{request.url.port}"
            self.sent += 1
            return await self.inner.handle_async_request(request)

        async def aclose(self):
            await self.inner.aclose()

    return Alternate()



async def test_two_processes_on_one_store_answer_one_client_in_turn(tmp_path):
    import httpx2
    from mcp import Client
    from mcp.client.streamable_http import streamable_http_client

    store = tmp_path / "canvas.db"
    args = ("--store", store, "--stateless", "--shutdown-seconds", "1")
    with Process("kelvo_mcp.server", "--http", "127.0.0.1:0", *args) as one, \
            Process("kelvo_mcp.server", "--http", "127.0.0.1:0", *args) as two:
        ports = [int(p.address.rsplit(":", 1)[1]) for p in (one, two)]
        transport = alternate(ports)
        written = []
        async with httpx2.AsyncClient(transport=transport) as http:
            async with Client(streamable_http_client(one.url, http_client=http)) as c:
                for n in range(6):
                    made = reply_of(await c.call_tool("kelvo_page_edit", {
                        "op": "create", "title": f"turn {n}", "blocks": [{"text": f"written {n}"}]}))
                    written.append(made["page_id"])
                reads = [reply_of(await c.call_tool("kelvo_page_read", {"op": "get", "page_id": page_id}))
                         for page_id in written for _ in ports]  # each page read from both servers
        assert transport.sent >= 18
    assert [(r["title"], r["text"]) for r in reads] == [
        (f"turn {n}", f"written {n}") for n in range(6) for _ in ports]
    assert len(set(written)) == 6
    assert not any("Traceback" in line for p in (one, two) for line in p.lines), json.dumps(one.lines + two.lines)
