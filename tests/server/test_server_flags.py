"""The server's listener and engine flags the README documents, each passed
to a real process: --allow-origin, --max-body-bytes and --engine-threads on
the listener, --engine-read-timeout towards an engine slower than it."""

import httpx
import pytest

pytest.importorskip("mcp")

from http_host import Process, client  # noqa: E402

ACCEPT = {"Accept": "application/json, text/event-stream", "Content-Type": "application/json"}
INITIALIZE = {"jsonrpc": "2.0", "id": 1, "method": "initialize",
              "params": {"protocolVersion": "2025-06-18", "capabilities": {},
                         "clientInfo": {"name": "probe", "version": "0"}}}


def test_origins_bodies_and_engine_slots_are_as_the_flags_set_them():
    with Process("kelvo_mcp.server", "--http", "127.0.0.1:0", "--allow-origin", "https://app.example",
                 "--max-body-bytes", 4096, "--engine-threads", 2) as proc:
        with httpx.Client(timeout=10) as http:
            allowed = http.post(proc.url, json=INITIALIZE, headers={**ACCEPT, "Origin": "https://app.example"})
            foreign = http.post(proc.url, json=INITIALIZE, headers={**ACCEPT, "Origin": "https://evil.example"})
            padded = {**INITIALIZE, "params": {**INITIALIZE["params"], "pad": "a" * 5000}}
            too_big = http.post(proc.url, json=padded, headers=ACCEPT)
    assert (allowed.status_code, foreign.status_code, too_big.status_code) == (200, 403, 413)
    assert any("2 of 2 engine slots" in line for line in proc.lines), proc.lines


@pytest.mark.anyio
async def test_an_engine_slower_than_the_read_timeout_flag_is_a_worded_time_out():
    with Process("kelvo_mcp.engine", "--listen", "127.0.0.1:0", "--latency-ms", 1500) as eng, \
            Process("kelvo_mcp.server", "--http", "127.0.0.1:0", "--engine", eng.url,
                    "--engine-read-timeout", 0.4) as proc:
        async with client(proc.url) as mcp:
            slow = await mcp.call_tool("kelvo_page_read", {"op": "get", "page_id": "pg_0009"})
    text = slow.content[0].text
    assert slow.is_error and "timed out in the read phase (0.4 s budget)" in text, text


@pytest.fixture
def anyio_backend():
    return "asyncio"
