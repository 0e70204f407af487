"""_probe_pages and _canvas_missing on their own: the three probe answers and
how a 404 names a missing canvas."""

import asyncio

import httpx
import pytest
from hypothesis import given, settings, strategies as st

from kelvo_mcp import capabilities
from kelvo_mcp.capabilities import _canvas_missing, _probe_pages


def response(status=404, **kwargs):
    return httpx.Response(status, request=httpx.Request("GET", "https://engine.test/v1/pages"), **kwargs)


def test_exports():
    assert capabilities.__all__ == ("Capabilities", "NEEDS_PAGES", "resolve")


def test_probe_answers(engine, http_error):
    assert _probe_pages(engine({})) is True
    assert _probe_pages(engine({}, http_error(500))) is True
    assert _probe_pages(engine({}, http_error(404))) is False
    assert _probe_pages(engine({}, http_error(404, json={"detail": "canvas not found"}))) is None
    assert _probe_pages(client=engine({}, httpx.ConnectTimeout("slow"))) is None


def test_probe_calls_list_pages_once_with_limit_one(engine):
    client = engine({})
    _probe_pages(client)
    assert client.calls == [("list_pages", (), {"limit": 1})]


def test_probe_of_a_client_without_list_pages_is_undecided():
    assert _probe_pages(object()) is None


@pytest.mark.parametrize("stop", [KeyboardInterrupt, SystemExit, asyncio.CancelledError])
def test_probe_never_swallows_interrupts(engine, stop):
    with pytest.raises(stop):
        _probe_pages(engine({}, stop()))


@pytest.mark.parametrize("kwargs, missing", [
    ({"headers": {"X-Kelvo-Error": "canvas_not_found"}}, True),
    ({"headers": {"X-KELVO-ERROR": "canvas_not_found"}, "json": {"detail": "other"}}, True),
    ({"headers": {"X-Kelvo-Error": "canvas_not_found "}}, False),
    ({"json": {"detail": "canvas not found"}}, True),
    ({"json": {"detail": "Canvas Not Found"}}, False),
    ({"json": {"detail": ["canvas not found"]}}, False),
    ({"json": None}, False),
    ({"json": []}, False),
    ({"json": "canvas not found"}, False),
    ({"content": b"<html>not json</html>"}, False),
    ({}, False),
])
def test_canvas_missing(kwargs, missing):
    assert _canvas_missing(response(**kwargs)) is missing


def test_canvas_missing_header_errors_are_not_caught():
    class Headers:
        def get(self, name):
            raise LookupError(name)

    class Resp:
        headers = Headers()

    with pytest.raises(LookupError, match="X-Kelvo-Error"):
        _canvas_missing(Resp())


def test_canvas_missing_body_errors_mean_no_marker():
    class Resp:
        headers = httpx.Headers()

        def json(self):
            raise RuntimeError("truncated body")

    assert _canvas_missing(Resp()) is False
    assert _canvas_missing(type("NoBody", (), {"headers": httpx.Headers()})()) is False


def test_canvas_missing_body_interrupt_propagates():
    class Resp:
        headers = httpx.Headers()

        def json(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        _canvas_missing(Resp())


HEADER_NAMES = st.sampled_from([b"X-Kelvo-Error", b"x-kelvo-error", b"X-KELVO-ERROR", b"X-Kelvo-Errors", b"Content-Type"])
HEADER_VALUES = st.sampled_from([b"canvas_not_found", b"Canvas_Not_Found", b"canvas_not_found ", b"", b"other",
                                 b"canvas_not_found\xe9", b"\xff", "canvas_not_found".encode("utf-16")])


@settings(max_examples=300)
@given(st.lists(st.tuples(HEADER_NAMES, HEADER_VALUES), max_size=4),
       st.sampled_from([None, "ascii", "utf-8", "iso-8859-1", "utf-16", "latin-1"]),
       st.booleans())
def test_canvas_missing_reads_the_header_as_httpx_get_does(raw, encoding, subclass):
    # Read straight from httpx's Headers where that is certain to agree with
    # its get; the answer (or the error) is always get's.
    headers_type = type("Headers", (httpx.Headers,), {}) if subclass else httpx.Headers
    resp = type("Resp", (), {"headers": headers_type(raw, encoding=encoding), "json": lambda self: {}})()
    try:
        expected = httpx.Headers(raw, encoding=encoding).get("X-Kelvo-Error") == "canvas_not_found"
    except UnicodeError as exc:
        with pytest.raises(type(exc)):
            _canvas_missing(resp)
        return
    assert _canvas_missing(resp) is expected
