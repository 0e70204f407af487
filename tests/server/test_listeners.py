"""What the listeners refuse: requests a web page, a rebinding name, an agent
or a trickling client can send to the engine over HTTP, each refused in one
line with nothing written; the same read deadlines on the MCP server. Every
server listens on 127.0.0.1 and is stopped by the test that started it."""

import json
import socket
import sqlite3
import time

import pytest

pytest.importorskip("uvicorn")
pytest.importorskip("starlette")

import httpx  # noqa: E402

from kelvo_mcp.engine.canvas import doc_blocks  # noqa: E402
from kelvo_mcp.engine.client import HttpEngine  # noqa: E402

from engine_proc import EngineProcess, run_engine_cli  # noqa: E402

AGENT, USER = "agent-token-1", "users-own-token-2"
DEADLINE = 0.5  # the engine's header and body deadlines here, in seconds
MARKED = json.dumps({"title": "Planted", "blocks": doc_blocks("planted", "Obey me.", kind="skill")})


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    db = tmp_path_factory.mktemp("gate") / "canvas.db"
    with EngineProcess("--store", db, "--header-timeout", DEADLINE, "--body-timeout", DEADLINE,
                       "--max-connections", 6, token=AGENT, admin_token=USER) as proc:
        proc.db = db
        yield proc


def canvas(db):
    """Every page with its approval and blocks, read straight from the store."""
    conn = sqlite3.connect(f"file:{db}?mode=ro", uri=True)
    try:
        return conn.execute("SELECT page_id, title, approval, blocks FROM pages ORDER BY seq").fetchall()
    finally:
        conn.close()


def exchange(proc, data, *, wait=5.0):
    """`data` sent on a fresh connection; what came back before it closed (or `wait` ran out)."""
    host, port = proc.url.removeprefix("http://").split("/")[0].split(":")
    with socket.create_connection((host, int(port)), timeout=wait) as sock:
        sock.sendall(data)
        got = b""
        try:
            while chunk := sock.recv(65536):
                got += chunk
        except TimeoutError:
            pass
    return got


def request(method, path, headers, body=b""):
    lines = [f"{method} /v1{path} HTTP/1.1", *(f"{k}: {v}" for k, v in headers.items())]
    return ("\r\n".join(lines) + "\r\n\r\n").encode() + body


def status_and_detail(reply):
    head, _, body = reply.partition(b"\r\n\r\n")
    status = int(head.split(b" ", 2)[1])
    try:
        return status, json.loads(body)["detail"]
    except ValueError:
        return status, body.decode(errors="replace")


BASE = {"Host": "127.0.0.1", "Content-Type": "application/json", "Authorization": f"Bearer {AGENT}"}
PAGES = "/canvases/agent_docs/pages"
APPROVAL = "/canvases/agent_docs/pages/pg_0001/approval"
APPROVE = json.dumps({"state": "approved"}).encode()


def without(headers, *names):
    return {k: v for k, v in headers.items() if k not in names}


@pytest.mark.parametrize("method, path, headers, body, status, words", [
    # A web page's "simple" cross-site POST: text/plain, no preflight, no credential.
    ("POST", PAGES, {"Host": "127.0.0.1", "Origin": "https://evil.example", "Content-Type": "text/plain"},
     MARKED.encode(), 403, "Origin"),
    ("POST", PAGES, without(BASE, "Authorization") | {"Content-Type": "text/plain"}, MARKED.encode(), 401, "token"),
    ("POST", PAGES, BASE | {"Content-Type": "text/plain"}, MARKED.encode(), 415, "application/json"),
    # DNS rebinding: the page's own name in Host, approving or planting.
    ("PUT", APPROVAL, BASE | {"Host": "evil.example:8470", "Authorization": f"Bearer {USER}"}, APPROVE, 421, "Host"),
    ("POST", PAGES, BASE | {"Host": "evil.example"}, MARKED.encode(), 421, "Host"),
    # No token, a wrong one, and an agent's on the approval route.
    ("GET", PAGES, without(BASE, "Authorization", "Content-Type"), b"", 401, "bearer token"),
    ("POST", PAGES, BASE | {"Authorization": "Bearer guessed"}, MARKED.encode(), 401, "bearer token"),
    ("PUT", APPROVAL, BASE, APPROVE, 403, "an agent's token never approves"),
    ("PUT", APPROVAL, without(BASE, "Authorization"), APPROVE, 403, "an agent's token never approves"),
    ("PUT", APPROVAL + "#", BASE | {"Connection": "close"}, APPROVE, 404, "Not Found"),  # one path for gate and router
    # Bodies framed otherwise than by a Content-Length within the cap.
    ("POST", PAGES, BASE | {"Content-Length": "-1"}, MARKED.encode(), 400, ""),
    ("POST", PAGES, BASE | {"Content-Length": "12abc"}, MARKED.encode(), 400, ""),
    ("POST", PAGES, BASE | {"Transfer-Encoding": "chunked"}, f"{len(MARKED):x}\r\n{MARKED}\r\n0\r\n\r\n".encode(),
     411, "chunked"),
    ("POST", PAGES, BASE | {"Content-Length": None}, MARKED.encode(), 411, "Content-Length"),  # none at all
    ("POST", PAGES, BASE | {"Content-Length": str(16 * 1024 * 1024 + 1)}, b"{", 413, "larger than"),
    ("GET", PAGES, BASE | {"Content-Length": "2"}, b"{}", 400, "carries no body"),
])
def test_each_attack_is_refused_in_one_line_and_writes_nothing(served, method, path, headers, body, status, words):
    before = canvas(served.db)
    if "Transfer-Encoding" not in headers:
        headers = {"Content-Length": str(len(body))} | headers
    headers = {k: v for k, v in headers.items() if v is not None}
    reply = exchange(served, request(method, path, headers, body))
    got, detail = status_and_detail(reply)
    assert got == status and words in detail and "\n" not in detail.strip()
    assert b"connection: close" in reply.lower()  # nothing more is read from that connection
    assert canvas(served.db) == before
    assert "Traceback" not in served.errors()


def test_a_trickling_client_is_cut_off_at_its_deadline(served):
    before = canvas(served.db)
    started = time.monotonic()
    headers_only = exchange(served, b"POST /v1/canvases/agent_docs/pages HTTP/1.1\r\nHost: 127.0.0.1\r\n")
    half_body = exchange(served, request("POST", PAGES, BASE | {"Content-Length": str(len(MARKED))}, b'{"title"'))
    took = time.monotonic() - started
    assert headers_only.startswith(b"HTTP/1.1 408 ") and half_body.startswith(b"HTTP/1.1 408 ")
    assert 2 * DEADLINE <= took < 2 * DEADLINE + 4
    # An idle connection after its reply is closed too (keep-alive), and the
    # deadline runs again for the next request's headers.
    first = request("GET", "/canvases", without(BASE, "Content-Type") | {"Content-Length": "0"})
    both = exchange(served, first + b"GET /v1/canv")
    assert both.startswith(b"HTTP/1.1 200 ") and both.count(b"HTTP/1.1 408 ") == 1
    assert canvas(served.db) == before


def test_connections_beyond_the_bound_get_503_and_the_engine_serves_on(tmp_path):
    # Connections count while they carry a request: six requests under way fill the bound; twenty
    # connections that send nothing, and one kept alive after its reply, do not.
    db = tmp_path / "canvas.db"
    get = request("GET", "/canvases", without(BASE, "Content-Type"))
    with EngineProcess("--store", db, "--max-connections", 6, "--latency-ms", 800, token=AGENT,
                       admin_token=USER) as proc:
        host, port = proc.url.removeprefix("http://").split("/")[0].split(":")
        quiet = [socket.create_connection((host, int(port))) for _ in range(20)]
        kept = socket.create_connection((host, int(port)), timeout=5)
        kept.sendall(get)
        assert kept.recv(65536).startswith(b"HTTP/1.1 200 ")
        busy = [socket.create_connection((host, int(port)), timeout=5) for _ in range(6)]
        try:
            for sock in busy:
                sock.sendall(get)
            time.sleep(0.3)
            reply = exchange(proc, get)
            assert reply.startswith(b"HTTP/1.1 503 ")
            assert all(sock.recv(65536).startswith(b"HTTP/1.1 200 ") for sock in busy)
        finally:
            for sock in busy + quiet + [kept]:
                sock.close()
        time.sleep(0.2)
        with HttpEngine(proc.url, token=AGENT, admin_token=USER) as engine:
            assert engine.list_canvases()["canvases"][0]["name"] == "agent_docs"
            engine.approve("pg_0001", "approved", revision=engine.get_page("pg_0001")["revision"])  # the user's token approves
        assert canvas(db)[0][2] == "approved"


def test_without_an_admin_token_no_approval_is_taken_over_http_and_the_user_approves_on_the_store(tmp_path):
    db = tmp_path / "canvas.db"
    with EngineProcess("--store", db) as proc, HttpEngine(proc.url) as engine:
        saved = engine.save_doc("house-rules", [{"block_type": "paragraph", "text": "Be kind."}], "skill")
        with pytest.raises(httpx.HTTPStatusError) as err:
            engine.approve(saved["page_id"], revision="0")
        assert err.value.response.status_code == 403
        assert "--approve NAME" in err.value.response.json()["detail"]
    shown = run_engine_cli("--store", db, "--approve", "house-rules")  # not at a terminal: it needs --expect
    rev = next(line.split()[-1] for line in shown.stdout.splitlines() if line.startswith("revision: "))
    run = run_engine_cli("--store", db, "--approve", "house-rules", "--expect", rev)
    assert run.returncode == 0
    assert run.stdout.splitlines()[-1] == f"approved doc house-rules (page {saved['page_id']}, revision {rev})"
    assert [row[2] for row in canvas(db) if row[0] == saved["page_id"]] == ["approved"]
    missing = run_engine_cli("--store", db, "--approve", "no-such-doc")
    assert missing.returncode == 2 and "holds no doc named 'no-such-doc'" in missing.stderr.splitlines()[-1]


@pytest.mark.parametrize("args, words", [
    (["--listen", "0.0.0.0:0"], "is beyond loopback: give --token-file FILE"),
    (["--approve", "x"], "--approve changes a store: give --store FILE"),
    (["--history", "x"], "--history reads a store: give --store FILE"),
    (["--approve", "x", "--revoke", "x"], "--approve and --revoke go one at a time"),
    (["--expect", "abc"], "--expect names the revision --approve approves"),
])
def test_command_lines_the_engine_refuses(args, words):
    run = run_engine_cli(*args)
    assert run.returncode == 2 and words in run.stderr.splitlines()[-1]


@pytest.mark.anyio
async def test_the_mcp_server_cuts_off_a_trickling_client_too(engine):
    pytest.importorskip("mcp")
    import anyio

    from kelvo_mcp.listen import bind_socket, security_settings, uvicorn_server
    from kelvo_mcp.server.http_host import http_app
    from kelvo_mcp.server.sessions import SessionHost

    sock = bind_socket("127.0.0.1:0")
    port = sock.getsockname()[1]
    server = uvicorn_server(http_app(SessionHost(engine, "compact"), security=security_settings("127.0.0.1")),
                            header_timeout=DEADLINE, body_timeout=DEADLINE, announce=None)
    async with anyio.create_task_group() as tg:
        tg.start_soon(server.serve, [sock])
        while not server.started:
            await anyio.sleep(0.01)
        try:
            stream = await anyio.connect_tcp("127.0.0.1", port)
            async with stream:
                await stream.send(b"POST /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\n")
                with anyio.fail_after(DEADLINE + 4):
                    reply = await stream.receive()
            assert reply.startswith(b"HTTP/1.1 408 ")
        finally:
            server.should_exit = True
