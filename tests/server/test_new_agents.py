"""A new agent sees the store as it is: an approval or a revocation made just
before it connects is in its handshake and its first digest, on the embedded
store and through the engine's HTTP API; with nothing changed it costs one
engine request, and one change one rescan per scope. Agent ids the server
cannot use are refused, with no session left open."""

import json

import pytest

pytest.importorskip("mcp")

import anyio  # noqa: E402
import httpx  # noqa: E402

from kelvo_mcp import refresh  # noqa: E402
from kelvo_mcp.engine.canvas import open_store_engine  # noqa: E402
from kelvo_mcp.engine.client import HttpEngine  # noqa: E402

from engine_proc import EngineProcess  # noqa: E402
from http_host import client, serving  # noqa: E402
from server_session import reply_of  # noqa: E402
from test_agents import agent_client  # noqa: E402

pytestmark = pytest.mark.anyio

SCAN = ("list_pages", refresh.MAX_REGISTRY_PAGES)
GENERATION = ("store_generation", None)
USER = "users-own-token-2"
INITIALIZE = {"jsonrpc": "2.0", "id": 7, "method": "initialize",
              "params": {"protocolVersion": "2025-06-18", "capabilities": {},
                         "clientInfo": {"name": "probe", "version": "0"}}}
ACCEPT = {"Accept": "application/json, text/event-stream", "Content-Type": "application/json"}


def skills(reply):
    return [s["name"] for s in reply["standing_docs"]["skills"]]


async def sees_code_review(url, ident):
    """Whether a new agent is shown the code-review skill: in its handshake and in its first call's digest."""
    async with agent_client(url, ident) as agent:
        shown = "code-review" in agent.instructions
        first = reply_of(await agent.call_tool("kelvo_status", {}))
    assert shown == ("code-review" in skills(first))
    return shown


async def the_user_acts_and_new_agents_see_it(url, approve, revoke):
    async with agent_client(url, "early") as early:  # opens the scope; its registry holds no code-review
        assert "code-review" not in early.instructions
        approve()
        await anyio.sleep(0.5)
        assert await sees_code_review(url, "after-approval")
        revoke()
        await anyio.sleep(0.5)
        assert not await sees_code_review(url, "after-revocation")


async def test_on_the_embedded_store_a_new_agent_sees_an_approval_and_a_revocation(tmp_path):
    engine = open_store_engine(tmp_path / "canvas.db")
    try:
        async with serving(engine) as (url, host):
            await the_user_acts_and_new_agents_see_it(
                url, lambda: engine.approve_doc("code-review"), lambda: engine.revoke_doc("code-review"))
            assert host.new_agent_rescans == 2
    finally:
        engine.close()


async def test_through_the_engines_http_api_a_new_agent_sees_an_approval_and_a_revocation(tmp_path):
    db = tmp_path / "canvas.db"
    with EngineProcess("--store", db, admin_token=USER) as proc, HttpEngine(proc.url) as engine, \
            HttpEngine(proc.url, admin_token=USER) as user:
        def act(state):
            user.approve("pg_0005", state, revision=user.get_page("pg_0005")["revision"])

        async with serving(engine) as (url, host):
            await the_user_acts_and_new_agents_see_it(url, lambda: act("approved"), lambda: act("none"))
            assert host.new_agent_rescans == 2


async def test_a_new_agent_costs_one_generation_request_and_one_change_one_rescan_however_many_arrive(engine):
    async with serving(engine) as (url, host):
        async with agent_client(url, "first"):
            pass
        before = list(engine.calls)
        async with agent_client(url, "second") as second:
            await second.call_tool("kelvo_page_read", {"op": "get", "page_id": "pg_0009"})
        new = list(engine.calls)[len(before):]
        assert new == [GENERATION, ("get_page", "pg_0009")]
        before = list(engine.calls)
        async with client(url) as session:  # the handshake era: initialize, then calls in a session
            await session.call_tool("kelvo_page_read", {"op": "get", "page_id": "pg_0009"})
        assert list(engine.calls)[len(before):] == [GENERATION, ("get_page", "pg_0009")]
        engine.approve_doc("code-review")
        scans = list(engine.calls).count(SCAN)
        seen = []

        async def arrive(n):
            seen.append(await sees_code_review(url, f"agent-{n}"))

        async with anyio.create_task_group() as tg:
            for n in range(8):
                tg.start_soon(arrive, n)
        assert seen == [True] * 8
        assert list(engine.calls).count(SCAN) - scans == 1 and host.new_agent_rescans == 1


@pytest.mark.parametrize("max_age, fresh", [(3600.0, False), (0.0, True)])
async def test_an_engine_that_cannot_say_goes_by_the_registrys_age(engine, max_age, fresh):
    engine.store_generation = lambda: None  # as a remote engine without the route
    async with serving(engine, host_options={"registry_max_age": max_age}) as (url, _):
        async with agent_client(url, "early"):
            pass
        engine.approve_doc("code-review")
        assert await sees_code_review(url, "late") is fresh


@pytest.mark.parametrize("ident", ["x" * 65, "", "a b", "a/b", "..", "caf\u00e9", "a\n", 5, None, [], {}, True])
async def test_an_invalid_agent_id_is_refused_with_the_rule_and_nothing_is_opened(engine, ident):
    from mcp import Client, MCPError
    from mcp.client.extension import advertise

    async with serving(engine) as (url, host):
        with pytest.raises(BaseException) as err:
            async with Client(url, extensions=[advertise("com.kelvo/agent", {"id": ident})]) as agent:
                await agent.call_tool("kelvo_status", {})
        refused = err.value
        while isinstance(refused, BaseExceptionGroup):  # the client's task groups wrap what the server said
            (refused,) = refused.exceptions
        assert isinstance(refused, MCPError) and "1 to 64 characters from [A-Za-z0-9_-]" in str(refused)
        # The handshake era: the initialize is answered before a session is made.
        async with httpx.AsyncClient() as http:
            body = {**INITIALIZE, "params": {**INITIALIZE["params"],
                                              "capabilities": {"extensions": {"com.kelvo/agent": {"id": ident}}}}}
            resp = await http.post(url, content=json.dumps(body), headers=ACCEPT)
        assert resp.json()["error"]["code"] == -32602 and "1 to 64" in resp.json()["error"]["message"]
        assert "mcp-session-id" not in resp.headers
        assert host.opened == 0 and len(host.agents) == 0


async def test_discover_and_initialize_list_the_agent_extension_and_an_id_less_setting_is_anonymous(engine):
    async with serving(engine) as (url, _):
        async with agent_client(url, "named") as modern:
            assert "com.kelvo/agent" in (modern.server_capabilities.extensions or {})
        from mcp import Client
        from mcp.client.extension import advertise

        async with Client(url, extensions=[advertise("com.kelvo/agent", {})]) as nameless:
            assert reply_of(await nameless.call_tool("kelvo_status", {}))["agent"]["key"] == "anonymous"
        async with httpx.AsyncClient() as http:
            resp = await http.post(url, content=json.dumps(INITIALIZE), headers=ACCEPT)
        text = resp.text
        payload = json.loads(text[text.index("{"):].splitlines()[0]) if "data:" in text else resp.json()
        # This protocol version predates extensions: the server lists it as experimental.
        assert "com.kelvo/agent" in payload["result"]["capabilities"]["experimental"]
        assert resp.headers.get("mcp-session-id")


async def test_the_server_command_takes_registry_max_age_with_http_only(tmp_path):
    import subprocess
    import sys

    from http_host import Process

    with Process("kelvo_mcp.server", "--store", tmp_path / "canvas.db", "--http", "127.0.0.1:0",
                 "--registry-max-age", 5) as proc:
        async with agent_client(f"http://{proc.address}/mcp", "cli-agent") as agent:
            assert reply_of(await agent.call_tool("kelvo_status", {}))["agent"]["key"] == "agent-id"
    refused = subprocess.run([sys.executable, "-m", "kelvo_mcp.server", "--registry-max-age", "5"],
                             capture_output=True, text=True, timeout=60)
    assert refused.returncode == 2 and "--registry-max-age goes with --http" in refused.stderr.splitlines()[-1]
