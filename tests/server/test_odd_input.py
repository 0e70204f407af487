"""Odd input at the HTTP edges answers 4xx and changes nothing: the engine's
numbers (limit, cursor, block numbers), the names and kinds it saves docs
under, page ids `HttpEngine` would send as dot segments, and a foreign Host
on any path of the MCP server."""

import functools

import httpx
import pytest

from kelvo_mcp import explain
from kelvo_mcp.engine.client import HttpEngine

from engine_proc import EngineProcess  # noqa: E402

FAST = {"connect": 5.0, "read": 10.0, "write": 5.0, "pool": 5.0}
P = {"block_type": "paragraph"}
JSON = {"Content-Type": "application/json"}


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    with EngineProcess("--store", tmp_path_factory.mktemp("engine") / "canvas.db") as proc:
        yield proc


@pytest.fixture
def http(served):
    with httpx.Client(base_url=f"{served.url}/canvases/agent_docs", timeout=10.0) as client:
        yield client


def listing(http):
    return http.get("/pages", params={"limit": "1000"}).json()


@pytest.mark.parametrize("query, detail", [
    ("limit=%C2%B2", "limit must be a whole number of 1 to 4 digits"),      # "²": isdigit, not int
    ("limit=99999999999999999999", "limit must be a whole number of 1 to 4 digits"),
    ("limit=10000", "limit must be a whole number of 1 to 4 digits"),
    ("limit=", "limit must be a whole number of 1 to 4 digits"),
    ("limit=-1", "limit must be a whole number of 1 to 4 digits"),
    ("limit=%EF%BC%95", "limit must be a whole number of 1 to 4 digits"),   # fullwidth 5
    ("limit=5&limit=6", "the query gives limit more than once"),
    ("cursor=" + "9" * 5000, "the cursor is not one this engine gave: send next_cursor from a listing"),
    ("cursor=99999999999999999999", "the cursor is not one this engine gave: send next_cursor from a listing"),
    ("cursor=%C2%B2", "the cursor is not one this engine gave: send next_cursor from a listing"),
    ("cursor=abc", "the cursor is not one this engine gave: send next_cursor from a listing"),
])
def test_a_listing_with_odd_numbers_answers_400_with_one_detail_line(http, served, query, detail):
    resp = http.get(f"/pages?{query}")
    assert (resp.status_code, resp.json()) == (400, {"detail": detail})
    assert "Traceback" not in served.errors()


def test_limit_is_held_to_1_to_1000(http):
    everything = listing(http)
    one = http.get("/pages", params={"limit": "0"}).json()
    most = http.get("/pages", params={"limit": "9999"}).json()
    assert len(one["pages"]) == 1 and one["has_more"] is True
    assert most == everything and not most["has_more"]
    after = http.get("/pages", params={"limit": "2", "cursor": one["next_cursor"]}).json()
    assert [p["page_id"] for p in after["pages"]] == [p["page_id"] for p in everything["pages"][1:3]]


@pytest.mark.parametrize("name, body, loc", [
    ("a%2Fb", {"blocks": []}, ["path", "name"]),
    ("a%0D%0Ab", {"blocks": []}, ["path", "name"]),
    ("%EF%BD%81bc", {"blocks": []}, ["path", "name"]),      # a fullwidth "a"
    ("Deploy", {"blocks": []}, ["path", "name"]),
    (".hidden", {"blocks": []}, ["path", "name"]),
    ("x" * 65, {"blocks": []}, ["path", "name"]),
    ("deploy%0A", {"blocks": []}, ["path", "name"]),
    ("deploy-steps", {"blocks": [], "kind": "evil"}, ["body", "kind"]),
    ("deploy-steps", {"blocks": [], "kind": ""}, ["body", "kind"]),
])
def test_a_doc_is_saved_only_under_a_name_and_kind_the_core_takes(http, name, body, loc):
    before = listing(http)
    for _ in range(2):  # a re-save makes no page either
        resp = http.put(f"/docs/{name}", json=body)
        assert resp.status_code == 422 and [d["loc"] for d in resp.json()["detail"]] == [loc]
    assert listing(http) == before


def test_a_good_name_and_kind_make_one_doc_however_often_saved(http):
    before = len(listing(http)["pages"])
    made = http.put("/docs/v1.2_final", json={"blocks": [{**P, "text": "one"}], "kind": "skill"}).json()
    again = http.put("/docs/v1.2_final", json={"blocks": [{**P, "text": "two"}]}).json()
    assert (made["created"], again["created"], again["kind"]) == (True, False, "skill")
    assert len(listing(http)["pages"]) == before + 1


@pytest.mark.parametrize("block_id", ["b\u00b2", "b" + "1" * 5000, "b99999999999999999999"])
def test_a_block_number_the_engine_cannot_hold_answers_400(http, served, block_id):
    page = http.get("/pages/pg_0009").json()
    for method, path in (("PUT", "/pages/pg_0009/blocks"), ("POST", "/pages/pg_0009/blocks"),
                         ("POST", "/pages"), ("POST", "/learnings")):
        body = {"title": "t", "blocks": [{**P, "text": "ok"}, {**P, "block_id": block_id, "text": "x"}]}
        resp = http.request(method, path, json=body)
        assert resp.status_code == 400, (method, path, resp.text)
        assert resp.json()["detail"].startswith("blocks[1].block_id is not a block id")
    assert http.get("/pages/pg_0009").json() == page
    assert "Traceback" not in served.errors()


def test_block_ids_of_a_clients_own_are_kept(http):
    made = http.post("/pages", json={"title": "ids", "blocks": [{**P, "block_id": "intro", "text": "a"},
                                                                {**P, "block_id": "b7", "text": "b"}]}).json()
    got = http.get(f"/pages/{made['page_id']}").json()
    assert [b["block_id"] for b in got["blocks"]] == ["intro", "b7"]


BAD_IDS = ["..", ".", "", "a/b", "x?y", "a#b", "%2e%2e", "pg_0001/../..", "pg 1", "pg_ü", "\ud800"]


@pytest.mark.parametrize("page_id", BAD_IDS)
def test_http_engine_never_sends_a_page_id_that_is_not_one_plain_segment(served, page_id):
    sent = []
    with HttpEngine(served.url, timeouts=FAST, canvas="agent_docs") as engine:
        engine.http.event_hooks["request"].append(sent.append)
        missing = pytest.raises(httpx.HTTPStatusError, engine.get_page, "pg_9999").value
        sent.clear()
        calls = [(engine.get_page, ()), (engine.delete_page, ()), (engine.rename_page, ("t",)),
                 (engine.append_blocks, ([P],)), (engine.write_blocks, ([P],)), (engine.update_blocks, ([],)),
                 (functools.partial(engine.approve, revision="0" * 32), ())]
        for call, args in calls:
            with pytest.raises(httpx.HTTPStatusError) as refused:
                call(page_id, *args)
            exc = refused.value
            # What the agent is told is what the engine says of a page it does not hold.
            assert exc.response.status_code == 404 and exc.response.json() == missing.response.json()
            assert exc.response.content == missing.response.content
            assert explain.http_failure("kelvo_page_get", exc, writes=False) == \
                explain.http_failure("kelvo_page_get", missing, writes=False)
            assert "%2E" in str(exc.request.url) or "." not in page_id
    assert sent == []


def test_http_engine_sends_a_dot_doc_name_or_canvas_as_itself(served, http):
    sent = []
    before = listing(http)
    with HttpEngine(served.url, timeouts=FAST, canvas="agent_docs") as engine:
        engine.http.event_hooks["request"].append(lambda r: sent.append(r.url.raw_path))
        for name in ("..", "."):
            with pytest.raises(httpx.HTTPStatusError) as refused:
                engine.save_doc(name, [P])
            assert refused.value.response.status_code == 422
        with pytest.raises(httpx.HTTPStatusError) as other:
            engine.check_canvas("..")
        assert other.value.response.headers["X-Kelvo-Error"] == "canvas_not_found"
    assert sent == [b"/v1/canvases/agent_docs/docs/%2E%2E", b"/v1/canvases/agent_docs/docs/%2E",
                    b"/v1/canvases/%2E%2E/resolve"]
    assert listing(http) == before


@pytest.fixture
def anyio_backend():
    return "asyncio"


@pytest.mark.anyio
async def test_the_servers_host_check_covers_every_path_but_the_health_probes(engine):
    pytest.importorskip("mcp")
    from http_host import serving

    async with serving(engine) as (url, _):
        base = url.rsplit("/", 1)[0]
        async with httpx.AsyncClient(follow_redirects=False) as http:
            foreign = {"Host": "evil.example"}
            slash = await http.get(f"{url}/", headers=foreign)
            elsewhere = await http.get(f"{base}/elsewhere", headers=foreign)
            posted = await http.post(f"{url}/", json={}, headers=foreign)
            origin = await http.get(f"{url}/", headers={"Origin": "http://evil.example"})
            live = await http.get(f"{base}/healthz", headers=foreign)
            own = await http.get(f"{url}/")
    for refused in (slash, elsewhere, posted):
        assert refused.status_code == 421 and "location" not in refused.headers
        assert "evil" not in refused.text
    assert origin.status_code == 403
    assert live.status_code == 200
    # The server's own name is still redirected to the route.
    assert own.status_code == 307 and own.headers["location"] == url
