"""Status failures: the engine's own reason from the error body and the
sentence built around the HTTP status."""

import asyncio
import json
import tracemalloc

import httpx
import pytest
from hypothesis import given, settings, strategies as st

from kelvo_mcp import explain

HTTP_404_EXAMPLE = 'kelvo_page_get: Kelvo returned HTTP 404 (the thing addressed was not found); possible causes: the id or name does not exist in this canvas; it was deleted; the canvas itself no longer exists; or this engine does not serve that route (an older or differently configured engine).'
STATUS_TABLE = {400: 'the request was invalid', 401: 'the API key was rejected', 403: 'the request was refused for this key or canvas', 404: 'the thing addressed was not found', 409: 'the write conflicted with the current state', 413: 'the payload is too large', 422: 'the arguments failed validation', 429: 'too many requests (rate limit)', 500: 'the engine hit an internal error', 502: 'a gateway in front of the engine failed', 503: 'the engine is not available right now', 504: 'a gateway in front of the engine timed out'}
OTHER_STATUS = 'the request failed'
CAUSES_404 = ['the id or name does not exist in this canvas', 'it was deleted', 'the canvas itself no longer exists', 'this engine does not serve that route (an older or differently configured engine)']
ENGINE_SAYS = ' — the engine says: '
SERVER_ERROR = ' A server error after a write does not prove nothing was written; read before retrying.'

REQUEST = httpx.Request("POST", "https://engine.test/v1/pages")


def reply(status, body=None, **kw):
    if body is not None:
        kw["json"] = body
    return httpx.Response(status, request=REQUEST, **kw)


def failure(status, body=None, **kw):
    response = reply(status, body, **kw)
    return httpx.HTTPStatusError(f"HTTP {status}", request=REQUEST, response=response)


def validation(*items):
    return reply(422, {"detail": list(items)})


def test_status_table():
    assert explain._STATUS_WORDS == STATUS_TABLE
    assert list(explain._STATUS_WORDS) == list(STATUS_TABLE)


# -- engine_reason -----------------------------------------------------------

@pytest.mark.parametrize("body,reason", [
    ({"detail": "Page is locked"}, "Page is locked"),
    ({"detail": "  spaced \n\t out  "}, "spaced out"),
    ({"detail": "bad key kelvo_sk_abc at https://engine.test/x"}, "bad key <redacted> at <url>"),
    ({"detail": "not found"}, ""),
    ({"detail": "Not Found"}, ""),
    ({"detail": "  NOT\n FOUND "}, ""),
    ({"detail": "not found here"}, "not found here"),
    ({"detail": "   "}, ""),
    ({"detail": 404}, ""),
    ({"detail": None}, ""),
    ({"detail": {"msg": "x"}}, ""),
    ({"error": "x"}, ""),
    (["detail", "x"], ""),
    ("detail", ""),
    ({"detail": []}, ""),
])
def test_engine_reason_shapes(body, reason):
    assert explain.engine_reason(reply(400, body)) == reason


def test_engine_reason_of_nothing():
    assert explain.engine_reason(None) == ""
    assert explain.engine_reason(reply(500, content=b"<html>gateway</html>")) == ""
    assert explain.engine_reason(reply(500, content=b"")) == ""


def test_validation_items():
    response = validation(
        {"loc": ["body", "blocks", 0, "text"], "msg": "field required"},
        {"loc": ["body"], "msg": "body is empty"},
        {"msg": "no location"},
        {"loc": ["body", "fourth"], "msg": "dropped"},
        {"loc": ["body", "fifth"], "msg": "dropped"},
    )
    assert explain.engine_reason(response) == "blocks.0.text: field required; body is empty; no location"


def test_validation_items_that_are_not_maps_count_toward_three():
    response = validation("oops", {"loc": ["query", "limit"], "msg": "too big"}, 7, {"msg": "fourth"})
    assert explain.engine_reason(response) == "limit: too big"


def test_validation_item_without_message():
    assert explain.engine_reason(validation({"loc": ["body", "id"]})) == "id: None"
    assert explain.engine_reason(validation({"loc": ["body", None, 1.5, True]}, {})) == "None.1.5.True: None; None"


@pytest.mark.parametrize("loc", ["body.name", "name", 5, 2.5, True, {"body": "name"}])
def test_location_that_is_not_a_list_names_no_place(loc):
    assert explain.engine_reason(validation({"loc": loc, "msg": "bad value"})) == "bad value"


@pytest.mark.parametrize("loc", [None, [], "", 0, False, {}])
def test_empty_location_names_no_place(loc):
    assert explain.engine_reason(validation({"loc": loc, "msg": "bad value"})) == "bad value"


def test_validation_text_is_cleaned_and_capped():
    secret = validation({"loc": ["body", "auth"], "msg": "Bearer abc is not allowed"})
    assert explain.engine_reason(secret) == "auth: <redacted> is not allowed"
    long = validation({"loc": ["body", "x"], "msg": "m" * 400})
    assert explain.engine_reason(long) == "x: " + "m" * 297 + "\u2026"
    assert explain.engine_reason(validation({"loc": ["body"], "msg": "NOT FOUND"})) == ""


@settings(max_examples=150, deadline=None)
@given(st.lists(st.fixed_dictionaries({}, optional={
    "loc": st.one_of(st.lists(st.one_of(st.text(max_size=5), st.integers()), max_size=4),
                     st.text(max_size=5), st.integers(), st.none()),
    "msg": st.one_of(st.text(max_size=20), st.none(), st.integers())}), max_size=6))
def test_validation_reason_is_never_an_error(items):
    reason = explain.engine_reason(validation(*items))
    assert isinstance(reason, str) and len(reason) <= 301


class Reply:
    """A response whose json() does what it is told."""

    def __init__(self, outcome, status=400):
        self.outcome = outcome
        self.status_code = status

    def json(self):
        if isinstance(self.outcome, BaseException):
            raise self.outcome
        return self.outcome


@pytest.mark.parametrize("error", [ValueError("bad json"), json.JSONDecodeError("x", "", 0),
                                   RecursionError(), LookupError(), MemoryError()])
def test_unreadable_body_gives_no_reason(error):
    assert explain.engine_reason(Reply(error)) == ""


@pytest.mark.parametrize("stop", [KeyboardInterrupt(), SystemExit(2), asyncio.CancelledError(), GeneratorExit()])
def test_interrupts_while_reading_the_body_propagate(stop):
    with pytest.raises(type(stop)):
        explain.engine_reason(Reply(stop))
    error = httpx.HTTPStatusError("x", request=REQUEST, response=Reply(stop))
    with pytest.raises(type(stop)):
        explain.http_failure("t", error, writes=False)


def test_response_without_json_gives_no_reason():
    assert explain.engine_reason(object()) == ""


def test_deeply_nested_body_gives_no_reason():
    body = b"[" * 200_000 + b"]" * 200_000
    assert explain.engine_reason(reply(400, content=body)) == ""


def test_engine_reason_of_map_subclasses():
    class Body(dict):
        def get(self, key, default=None):
            raise AssertionError("not asked")
    assert explain.engine_reason(Reply(Body(detail="locked"))) == "locked"
    assert explain.engine_reason(Reply({"detail": [Body(loc=["body", "x"], msg="m")]})) == "x: m"


# -- http_failure ------------------------------------------------------------

def test_http_failure_404_example():
    assert explain.http_failure("kelvo_page_get", failure(404), writes=False) == HTTP_404_EXAMPLE


def test_http_failure_422_validation():
    error = failure(422, {"detail": [{"loc": ["body", "title"], "msg": "field required", "type": "missing"}]})
    assert explain.http_failure("kelvo_page_create", error, writes=True) == (
        "kelvo_page_create: Kelvo returned HTTP 422 (" + STATUS_TABLE[422] + ")"
        + ENGINE_SAYS + "title: field required.")


@pytest.mark.parametrize("status", sorted(STATUS_TABLE) + [418, 499, 501, 599])
def test_http_failure_words(status):
    words = STATUS_TABLE.get(status, OTHER_STATUS)
    text = explain.http_failure("t", failure(status, {"detail": "why"}), writes=False)
    assert text == f"t: Kelvo returned HTTP {status} ({words})" + ENGINE_SAYS + "why."


def test_http_failure_404_with_reason_shows_no_causes():
    text = explain.http_failure("t", failure(404, {"detail": "no such page p9"}), writes=False)
    assert text == "t: Kelvo returned HTTP 404 (" + STATUS_TABLE[404] + ")" + ENGINE_SAYS + "no such page p9."


def test_http_failure_404_with_bare_not_found_lists_causes():
    text = explain.http_failure("t", failure(404, {"detail": "Not Found"}), writes=False)
    assert text == "t: Kelvo returned HTTP 404 (" + STATUS_TABLE[404] + "); possible causes: " + "; ".join(
        CAUSES_404[:-1]) + "; or " + CAUSES_404[-1] + "."


@pytest.mark.parametrize("status,writes,warned", [
    (503, True, True), (500, 1, True), (599, True, True),
    (499, True, False), (503, False, False), (503, None, False), (404, True, False),
])
def test_http_failure_server_error_after_write(status, writes, warned):
    text = explain.http_failure("t", failure(status), writes=writes)
    assert text.endswith("." + SERVER_ERROR) is warned
    if not warned:
        assert SERVER_ERROR not in text


def test_http_failure_without_reason():
    assert explain.http_failure("t", failure(500, content=b"oops"), writes=False) == (
        "t: Kelvo returned HTTP 500 (" + STATUS_TABLE[500] + ").")
    error = httpx.HTTPStatusError("x", request=REQUEST, response=Reply(ValueError(), status=409))
    assert explain.http_failure("t", error, writes=False) == "t: Kelvo returned HTTP 409 (" + STATUS_TABLE[409] + ")."


def test_http_failure_canvas_is_accepted_and_unused():
    assert (explain.http_failure("t", failure(404), writes=False, canvas="work")
            == explain.http_failure("t", failure(404), writes=False))


# -- hostile input -----------------------------------------------------------

def test_http_failure_needs_a_response():
    with pytest.raises(AttributeError):
        explain.http_failure("t", ValueError("no response"), writes=False)
    with pytest.raises(AttributeError):
        explain.http_failure("t", httpx.HTTPStatusError("x", request=REQUEST, response=object()), writes=False)


def test_http_failure_odd_statuses():
    odd = httpx.HTTPStatusError("x", request=REQUEST, response=Reply({}, status=[404]))
    with pytest.raises(TypeError):
        explain.http_failure("t", odd, writes=False)  # an unhashable status cannot be looked up
    as_text = httpx.HTTPStatusError("x", request=REQUEST, response=Reply({}, status="503"))
    assert explain.http_failure("t", as_text, writes=False) == "t: Kelvo returned HTTP 503 (" + OTHER_STATUS + ")."


def test_argument_errors():
    error = failure(404)
    with pytest.raises(TypeError):
        explain.http_failure("t", error)
    with pytest.raises(TypeError):
        explain.http_failure("t", error, False)
    with pytest.raises(TypeError):
        explain.engine_reason()


class Unreadable:
    status_code = 500

    def json(self):
        raise ValueError("bad json")  # a new error each time: no traceback piles up


def test_no_leak_on_failure_paths():
    broken = httpx.HTTPStatusError("x", request=REQUEST, response=Unreadable())
    typical = failure(422, {"detail": [{"loc": ["body", "title"], "msg": "field required"}] * 4})
    timed = httpx.ReadTimeout("x", request=httpx.Request("GET", "https://e.test", extensions={"timeout": {"read": "x"}}))

    def round_():
        explain.http_failure("t", broken, writes=True)
        explain.http_failure("t", typical, writes=False)
        explain.timeout("t", timed, writes=True, read_call="r()")
        explain.engine_reason(Unreadable())

    for _ in range(200):
        round_()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    for _ in range(3000):
        round_()
    after = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    assert after - before < 64_000
