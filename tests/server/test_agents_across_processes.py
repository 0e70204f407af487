"""An agent of the single-exchange era moving between two server processes on
one PostgreSQL store, as behind a load balancer: each process keeps its own
record of it (its own count, its own digest), and what either shows comes
from the one store, an approval made on any machine included."""

import re
import time

import pytest

pytest.importorskip("mcp")

from kelvo_mcp.engine.backends import open_store  # noqa: E402

from engine_proc import run_engine_cli  # noqa: E402
from http_host import Process  # noqa: E402
from server_session import reply_of  # noqa: E402

pytestmark = pytest.mark.anyio
BODY = "Review every change before it merges."


def mover(url):
    from mcp import Client
    from mcp.client.extension import advertise

    return Client(url, extensions=[advertise("com.kelvo/agent", {"id": "mover"})])


async def test_an_agent_moving_between_two_processes_reads_the_one_store_on_each(pg_url):
    open_store(pg_url).close()
    args = ("--store", pg_url, "--http", "127.0.0.1:0", "--stateless", "--shutdown-seconds", "1")
    with Process("kelvo_mcp.server", *args) as one, Process("kelvo_mcp.server", *args) as two:
        async with mover(one.url) as a:
            first = reply_of(await a.call_tool("kelvo_status", {}))
            saved = reply_of(await a.call_tool("kelvo_doc_save", {"name": "house-rules", "kind": "skill",
                                                                   "body": BODY}))
        async with mover(two.url) as b:
            # Saved, not approved: an instruction nowhere.
            assert "house-rules" not in b.instructions
            got = reply_of(await b.call_tool("kelvo_docs_read", {"op": "get", "name": "house-rules"}))
            there = reply_of(await b.call_tool("kelvo_status", {}))
        async with mover(one.url) as a:
            back = reply_of(await a.call_tool("kelvo_status", {}))
        # The user reads the doc, then approves the revision read, from a machine of their own.
        read = run_engine_cli("--store", pg_url, "--approve", "house-rules")
        revision = re.search(r"^revision: (\w+)$", read.stdout, re.M)[1]
        approve = run_engine_cli("--store", pg_url, "--approve", "house-rules", "--expect", revision)
        assert approve.returncode == 0, approve.stderr
        approved_at = time.monotonic()
        seen = {}
        for name, server in (("other process", two), ("first process", one)):
            async with mover(server.url) as c:
                seen[name] = ("house-rules" in c.instructions, time.monotonic() - approved_at)
                reply_of(await c.call_tool("kelvo_status", {}))
        async with mover(one.url) as a:
            assert "house-rules" in a.instructions
    assert seen["other process"][0] and seen["other process"][1] < 1.0, seen
    assert seen["first process"][0], seen
    assert first["agent"] == {"key": "agent-id", "calls": 1} and "standing_docs" in first
    assert got["body"].strip() == BODY and got["page_id"] == saved["page_id"]
    # Each process counts the calls it served; the second shows the standing docs again.
    assert there["agent"] == {"key": "agent-id", "calls": 2} and "standing_docs" in there
    assert there["shared"]["counted_by"] == "this server process" and there["shared"]["agents"] == 1
    assert back["agent"]["calls"] == 3
