"""The engine behind a real HTTP boundary: `python -m kelvo_mcp.engine`
and its client `HttpEngine`. The same calls give the same replies as the
embedded engine; failures come back as httpx's own errors, which the core
words: status errors with the engine's detail and X-Kelvo-Error, a read
time-out from a slow engine, a connect error from a stopped one."""

import httpx
import pytest

from kelvo_mcp import capabilities, explain
from kelvo_mcp.engine.canvas import open_store_engine
from kelvo_mcp.engine.client import HttpEngine

from engine_proc import EngineProcess, run_engine_cli  # noqa: E402

FAST = {"connect": 5.0, "read": 5.0, "write": 5.0, "pool": 5.0}
P = {"block_type": "paragraph"}


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    with EngineProcess("--store", tmp_path_factory.mktemp("engine") / "canvas.db") as proc:
        yield proc


@pytest.fixture
def client(served):
    with HttpEngine(served.url, timeouts=FAST) as engine:
        yield engine


def scenario(engine):
    """A run of every call; the replies, with the times of this run blanked."""
    out = [engine.whoami(), engine.list_canvases()]
    first = engine.list_pages(limit=4)
    out += [first, engine.list_pages(limit=4, cursor=first["next_cursor"]), engine.get_page("pg_0003")]
    made = engine.create_page("Notes", [{**P, "text": "one"}, {"block_type": "heading_2", "text": "two"}])
    page_id = made["page_id"]
    out.append(made)
    out.append(engine.append_blocks(page_id, [{**P, "text": "three"}]))
    blocks = engine.get_page(page_id)["blocks"]
    out.append(engine.update_blocks(page_id, [{"block_id": blocks[0]["block_id"], "text": "ONE"}]))
    out.append(engine.rename_page(page_id, "Notes, renamed"))
    out.append(engine.get_page(page_id))
    out.append(engine.write_blocks(page_id, [{**P, "text": "all new"}]))
    out.append(engine.get_page(page_id))
    out.append(engine.delete_page(page_id))
    engine.approve("pg_0004", revision=engine.get_page("pg_0004")["revision"])  # the user, in the app
    out.append(engine.get_page("pg_0004"))
    engine.check_canvas(None)
    engine.check_canvas(engine.canvas)
    engine.check_canvas(f"cv_{engine.canvas}")
    return blank_times(out)


def blank_times(value):
    if isinstance(value, dict):
        return {k: ("<time>" if k == "updated_at" and v and v >= "2026" else blank_times(v)) for k, v in value.items()}
    if isinstance(value, list):
        return [blank_times(v) for v in value]
    return value


def test_over_http_every_call_answers_as_the_embedded_engine_does(tmp_path):
    embedded = open_store_engine(tmp_path / "embedded.db")
    try:
        expected = scenario(embedded)
    finally:
        embedded.close()
    with EngineProcess("--store", tmp_path / "served.db", admin_token="the-users-own") as proc, \
            HttpEngine(proc.url, timeouts=FAST, admin_token=proc.admin_token) as remote:
        assert scenario(remote) == expected
        assert remote.canvas == "agent_docs"


def _status_error(call):
    with pytest.raises(httpx.HTTPStatusError) as err:
        call()
    return err.value


def test_status_errors_carry_the_engines_detail_and_are_worded_by_the_core(client):
    page_id = client.create_page("target", [{**P, "text": "x"}])["page_id"]

    missing = _status_error(lambda: client.get_page("no such/page?"))
    assert missing.response.status_code == 404 and missing.response.json() == {"detail": "Not Found"}
    assert missing.request.url.raw_path.endswith(b"/pages/no%20such%2Fpage%3F")  # one path segment
    # The per-phase budgets travel on the request, where the core reads them.
    assert missing.request.extensions["timeout"] == FAST
    assert explain.http_failure("kelvo_page_get", missing, writes=False).startswith(
        "kelvo_page_get: Kelvo returned HTTP 404 (the thing addressed was not found); possible causes: "
        "the id or name does not exist in this canvas;")

    canvas = _status_error(lambda: client.check_canvas("someone_elses"))
    assert canvas.response.status_code == 404
    assert canvas.response.headers["X-Kelvo-Error"] == "canvas_not_found"
    assert capabilities._canvas_missing(canvas.response) is True
    assert explain.http_failure("kelvo_canvas_use", canvas, writes=False) == (
        "kelvo_canvas_use: Kelvo returned HTTP 404 (the thing addressed was not found)"
        " — the engine says: canvas not found.")

    invalid = _status_error(lambda: client.update_blocks(page_id, [{"block_id": "b0", "text": "y"}]))
    assert invalid.response.status_code == 422
    assert explain.http_failure("kelvo_page_update", invalid, writes=True) == (
        "kelvo_page_update: Kelvo returned HTTP 422 (the arguments failed validation)"
        f" — the engine says: updates.0.block_id: no block 'b0' on page {page_id}.")

    refused = _status_error(lambda: client.refuse("graph_query"))
    assert refused.response.status_code == 501
    assert "the engine says: graph_query is not served by this engine" in explain.http_failure(
        "kelvo_graph_query", refused, writes=False)


def test_faults_injected_in_the_client_are_httpx_errors_on_a_real_request(client):
    client.fail_next("append_blocks", 503)
    failed = _status_error(lambda: client.append_blocks("pg_0001", [{**P, "text": "never sent"}]))
    assert explain.http_failure("kelvo_page_append", failed, writes=True).endswith(
        "A server error after a write does not prove nothing was written; read before retrying.")
    client.fail_next("list_pages", httpx.ConnectTimeout)
    with pytest.raises(httpx.ConnectTimeout) as err:
        client.list_pages(limit=1)
    assert explain.timeout_phase(err.value) == "connect" and explain._budget(err.value, "connect") == 5.0
    assert all(b["text"] != "never sent" for b in client.get_page("pg_0001")["blocks"])


def test_an_engine_slower_than_the_read_budget_gives_a_real_read_timeout():
    with EngineProcess("--latency-ms", "3000") as slow, \
            HttpEngine(slow.url, timeouts={**FAST, "read": 0.25}, canvas="agent_docs") as engine:
        with pytest.raises(httpx.ReadTimeout) as err:
            engine.append_blocks("pg_0001", [{**P, "text": "late"}])
    words = explain.timeout("kelvo_page_append", err.value, writes=True, read_call="kelvo_page_get(page_id='pg_0001')")
    assert words.startswith("kelvo_page_append timed out in the read phase (0.25 s budget): the engine did not "
                            "answer in time after receiving the request. The engine received this write and may "
                            "have APPLIED it. Check before retrying: kelvo_page_get(page_id='pg_0001')")


def test_a_stopped_engine_gives_a_connect_error_and_the_probe_fails_open():
    proc = EngineProcess().start()
    url = proc.url
    proc.close()
    with HttpEngine(url, timeouts=FAST, canvas="agent_docs") as engine:
        with pytest.raises(httpx.ConnectError):
            engine.get_page("pg_0001")
        caps = capabilities.resolve(engine)
    assert caps.pages is True and caps.source == "fail-open"


@pytest.mark.parametrize("method, path, body, status, detail", [
    ("POST", "/canvases/agent_docs/pages", b"{not json", 400, "the request body is not JSON"),
    ("POST", "/canvases/agent_docs/pages", b'{"blocks": []}', 422, [{"loc": ["body", "title"], "msg": "field required"}]),
    ("PUT", "/canvases/agent_docs/pages/pg_0001/blocks", b'{"blocks": ["text"]}', 422,
     [{"loc": ["body", "blocks"], "msg": "must be a list of objects"}]),
    ("GET", "/canvases/agent_docs/pages?limit=many", b"", 400, "limit must be a whole number of 1 to 4 digits"),
    ("GET", "/canvases/other/pages", b"", 404, "canvas not found"),
    ("GET", "/elsewhere", b"", 404, "Not Found"),
])
def test_requests_the_engine_cannot_serve_get_a_status_and_a_detail(served, method, path, body, status, detail):
    with httpx.Client(base_url=served.url, timeout=5.0) as http:
        resp = http.request(method, path, content=body, headers={"Content-Type": "application/json"} if body else {})
    assert resp.status_code == status and resp.json() == {"detail": detail}


@pytest.mark.anyio
async def test_an_mcp_session_on_the_engine_over_http_writes_what_another_engine_process_reads(tmp_path):
    pytest.importorskip("mcp")
    from server_session import reply_of, session

    db = tmp_path / "canvas.db"
    with EngineProcess("--store", db) as one, EngineProcess("--store", db) as two, \
            HttpEngine(one.url, timeouts=FAST) as first, HttpEngine(two.url, timeouts=FAST) as second:
        async with session(first, "full") as (mcp, _):
            saved = await mcp.call_tool("kelvo_doc_save", {"name": "over-http", "body": "Kept in the store."})
            assert reply_of(saved)["saved"] is True
        async with session(second, "full") as (mcp, _):
            got = reply_of(await mcp.call_tool("kelvo_doc_get", {"name": "over-http"}))
            assert got["body"] == "Kept in the store."
            missing = await mcp.call_tool("kelvo_page_get", {"page_id": "pg_9999"})
            assert missing.is_error and "HTTP 404" in missing.content[0].text


@pytest.fixture
def anyio_backend():
    return "asyncio"


@pytest.mark.parametrize("args, words", [
    (["--listen", "nowhere"], "is not HOST:PORT"),
    (["--state", "state.json"], "--state is taken into a store: give --store too"),
])
def test_unusable_command_lines_exit_with_status_2(args, words):
    run = run_engine_cli(*args)
    assert run.returncode == 2 and words in run.stderr
