"""What strangers cannot do to the listeners before a credential is read:
fill the connection bound with sockets that send nothing, or hand over a
header block of any size; and what the access log records of a call. Both
listeners run as their commands, on 127.0.0.1, stopped by the test."""

import contextlib
import json
import logging
import socket
import time

import pytest

pytest.importorskip("mcp")

import anyio  # noqa: E402

from kelvo_mcp.access_log import RefusalSummary  # noqa: E402

from engine_proc import EngineProcess  # noqa: E402
from http_host import Process  # noqa: E402
from server_session import reply_of  # noqa: E402

ENGINE_TOKEN = "engine-agent-token-1"
TOKENS = "alice:alice-secret-1\nbob:bob-secret-2\n"
INITIALIZE = json.dumps({"jsonrpc": "2.0", "id": 1, "method": "initialize",
                         "params": {"protocolVersion": "2025-06-18", "capabilities": {},
                                    "clientInfo": {"name": "probe", "version": "0"}}}).encode()


def address(url):
    host, port = url.removeprefix("http://").split("/")[0].rsplit(":", 1)
    return host, int(port)


def engine_request(extra=b""):
    return (b"GET /v1/canvases HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer "
            + ENGINE_TOKEN.encode() + b"\r\n" + extra + b"Connection: close\r\n\r\n")


def mcp_request(extra=b""):
    return (b"POST /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer alice-secret-1\r\n"
            b"Content-Type: application/json\r\nAccept: application/json, text/event-stream\r\n" + extra
            + b"Connection: close\r\nContent-Length: %d\r\n\r\n" % len(INITIALIZE) + INITIALIZE)


def answer(where, data, *, pieces=1):
    """`data` sent on a fresh connection (in `pieces`, a moment apart); the reply read to the close, and
    how long it took."""
    started = time.monotonic()
    with socket.create_connection(where, timeout=5) as sock:
        step = -(-len(data) // pieces)
        for at in range(0, len(data), step):
            sock.sendall(data[at:at + step])
            if pieces > 1:
                time.sleep(0.01)
        got = b""
        with contextlib.suppress(TimeoutError):
            while chunk := sock.recv(65536):
                got += chunk
    return got, time.monotonic() - started


@contextlib.contextmanager
def both_listeners(tmp_path, *server_args):
    (tmp_path / "tokens").write_text(TOKENS)
    with EngineProcess(token=ENGINE_TOKEN) as engine, \
            Process("kelvo_mcp.server", "--http", "127.0.0.1:0", "--token-file", tmp_path / "tokens",
                    *server_args) as server:
        yield engine, server


def test_connections_that_send_nothing_leave_room_for_a_request_with_a_token(tmp_path):
    with both_listeners(tmp_path) as (engine, server):
        for url, request in ((engine.url, engine_request()), (server.url, mcp_request())):
            where = address(url)
            quiet = [socket.create_connection(where) for _ in range(300)]
            try:
                time.sleep(0.2)
                reply, took = answer(where, request)
                assert reply.startswith(b"HTTP/1.1 200 ") and took < 2, (url, reply[:80])
                # The arriving connections have a cap of their own: the oldest were closed to make room.
                closed = 0
                for sock in quiet[:300 - 256]:
                    sock.settimeout(0.5)
                    with contextlib.suppress(TimeoutError, ConnectionResetError):
                        closed += sock.recv(1) == b""
                assert closed >= 40
            finally:
                for sock in quiet:
                    sock.close()


def test_a_header_block_over_64_kib_gets_a_431_the_client_reads(tmp_path):
    big = b"X-Padding: " + b"a" * 100_000 + b"\r\n"
    near = b"X-Padding: " + b"a" * 60_000 + b"\r\n"
    with both_listeners(tmp_path) as (engine, server):
        for url, request in ((engine.url, engine_request), (server.url, mcp_request)):
            where = address(url)
            at_once, _ = answer(where, request(big))
            trickled, _ = answer(where, request(big), pieces=25)  # h11 alone would answer this one 400
            assert at_once.startswith(b"HTTP/1.1 431 ") and trickled.startswith(b"HTTP/1.1 431 "), url
            assert b"larger than 65536 bytes" in at_once
            served, _ = answer(where, request(near))
            assert served.startswith(b"HTTP/1.1 200 "), url
        # A session id of any size is no agent key: the whole block is refused first.
        sid, _ = answer(address(server.url), mcp_request(b"Mcp-Session-Id: " + b"s" * 100_000 + b"\r\n"))
        assert sid.startswith(b"HTTP/1.1 431 ")
        assert "Traceback" not in "".join(server.lines) + engine.errors()


@pytest.mark.anyio
async def test_a_call_appears_in_the_access_log_with_its_principal_agent_and_tool_and_no_token(tmp_path):
    import httpx2
    from mcp import Client
    from mcp.client.extension import advertise
    from mcp.client.streamable_http import streamable_http_client

    log = tmp_path / "access.log"
    (tmp_path / "tokens").write_text(TOKENS)
    with EngineProcess("--access-log", "-", token=ENGINE_TOKEN) as engine, \
            Process("kelvo_mcp.server", "--http", "127.0.0.1:0", "--token-file", tmp_path / "tokens",
                    "--engine", engine.url, "--engine-token-file", engine_token_file(tmp_path),
                    "--access-log", log, "--principal-share", 0.5, "--max-agents", 4) as server:
        async with httpx2.AsyncClient(headers={"Authorization": "Bearer alice-secret-1"}) as http:
            async with Client(streamable_http_client(server.url, http_client=http),
                              extensions=[advertise("com.kelvo/agent", {"id": "build-bot-3"})]) as c:
                reply = reply_of(await c.call_tool("kelvo_status", {}))
                missing = await c.call_tool("kelvo_docs_read", {"op": "get", "name": "never-in-the-log"})
        assert reply["agent"]["key"] == "agent-id" and missing.is_error
        await anyio.sleep(0.2)
        engine_log = engine.errors()
    lines = log.read_text().splitlines()
    call = [line for line in lines if "call=tools/call:kelvo_status" in line]
    assert len(call) == 1
    assert " principal=alice agent=agent-id:build-bot-3 " in call[0] and "status=200" in call[0]
    assert any(" agent=agent-id:build-bot-3 call=tools/call:kelvo_docs_read " in line for line in lines)
    assert all(secret not in "\n".join(lines) for secret in ("alice-secret-1", "never-in-the-log"))
    assert "each principal may hold 5000 of 10000 sessions, 2 of 4 agent records and 8 of 16 engine slots " \
           "(--principal-share 0.5)" in "".join(server.lines)
    engine_lines = [line for line in engine_log.splitlines() if " principal=" in line]
    assert any("principal=agent agent=- call=GET:canvases/{canvas}/whoami status=200" in line
               for line in engine_lines)
    assert ENGINE_TOKEN not in engine_log


def engine_token_file(tmp_path):
    path = tmp_path / "engine-token"
    path.write_text(ENGINE_TOKEN + "\n")
    return path


def test_refused_host_headers_are_counted_and_told_at_most_once_a_minute(caplog):
    now = [0.0]
    summary = RefusalSummary(clock=lambda: now[0])
    sdk = logging.getLogger("kelvo-test.transport_security")
    sdk.addFilter(summary)
    try:
        with caplog.at_level(logging.WARNING):
            for n in range(500):
                now[0] = n * 0.2  # 100 s of refusals
                sdk.warning("Invalid Host header: evil.example")
    finally:
        sdk.removeFilter(summary)
    told = [r.getMessage() for r in caplog.records]
    assert not any("Invalid Host header" in m for m in told)
    assert [m.split(" request")[0] for m in told] == ["refused 1", "refused 300"]
    assert summary.total == 500 and summary.count == 199


@pytest.mark.parametrize("args, words", [
    (["--http", "127.0.0.1:0", "--principal-share", "0"], "--principal-share wants a fraction above 0"),
    (["--http", "127.0.0.1:0", "--principal-share", "1.5"], "--principal-share wants a fraction above 0"),
    (["--principal-share", "0.5"], "go with --http"),
    (["--access-log", "-"], "go with --http"),
    (["--http", "127.0.0.1:0", "--max-agents", "0"], "--max-agents must be at least 1"),
])
def test_share_and_log_options_the_server_refuses(args, words, capsys):
    from kelvo_mcp.server import cli

    with pytest.raises(SystemExit) as exit_:
        cli.main(args)
    assert exit_.value.code == 2 and words in capsys.readouterr().err.strip().splitlines()[-1]


@pytest.mark.anyio
async def test_the_streams_sessions_hold_open_leave_room_in_the_request_bound():
    # The MCP listener's request bound is --max-sessions: two sessions, each with its stream open, still call.
    from http_host import client

    with Process("kelvo_mcp.server", "--http", "127.0.0.1:0", "--max-sessions", 2) as server:
        async with client(server.url) as a, client(server.url) as b:
            await anyio.sleep(0.3)  # each client's stream is open by now
            for c in (a, b, a, b):
                assert not (await c.call_tool("kelvo_status", {})).is_error
