"""resolve: the identity reply, the declared capabilities, and the pages
probe when the engine does not declare them. Every doubt means pages served."""

import asyncio
import sys
import types

import httpx
import pytest
from hypothesis import given, settings, strategies as st

from kelvo_mcp.capabilities import NEEDS_PAGES, Capabilities, resolve

UNDECIDED = Capabilities(True, "undecided")


def test_identity_failure_fails_open(engine):
    client = engine(httpx.ReadTimeout("timed out"))
    caps = resolve(client)
    assert caps == Capabilities(True, "fail-open", "", ())
    assert caps.key == {} and caps.absent == frozenset()
    assert caps.banner() == "pages served · via fail-open"
    assert client.probed == []


def test_client_without_whoami_fails_open():
    assert resolve(object()) == Capabilities()
    assert resolve(client=None) == Capabilities()


@pytest.mark.parametrize("reply", [None, {}, 0, "", []])
def test_empty_identity_probes(engine, reply):
    client = engine(reply)
    assert resolve(client) == Capabilities(True, "probe", "", ())
    assert client.calls == [("whoami", (), {}), ("list_pages", (), {"limit": 1})]


def test_declared_pages_are_taken_without_probe(engine):
    client = engine({"role": "admin", "capabilities": ["Pages "]})
    caps = resolve(client)
    assert caps == Capabilities(True, "capabilities", "admin", ())
    assert caps.banner() == "pages served · via capabilities"
    assert client.probed == []


def test_declared_capabilities_without_pages_hide_page_tools(engine):
    client = engine({"capabilities": ["graph", "search"]})
    caps = resolve(client)
    assert caps == Capabilities(False, "capabilities", "", ())
    assert caps.absent is NEEDS_PAGES
    assert caps.banner() == "NO pages on this engine (page/doc tools hidden) · via capabilities"
    assert client.probed == []


@pytest.mark.parametrize("declared", [[], "pages", {"pages": True}, 1, None])
def test_capabilities_that_are_not_a_non_empty_list_probe(engine, declared):
    client = engine({"capabilities": declared})
    assert resolve(client) == Capabilities(True, "probe")
    assert len(client.probed) == 1


@pytest.mark.parametrize("items, pages", [
    ([1, "\u2003PAGES\u0085"], True),        # em space and NEL are whitespace
    (["pages\u00a0", None], True),           # so is the no-break space
    (["\u200bpages"], False),                # a zero-width space is not
    (["ｐａｇｅｓ"], False),                   # full-width letters stay full-width
    (["page s"], False),
])
def test_declared_names_are_stripped_and_lower_cased(engine, items, pages):
    assert resolve(engine({"capabilities": items})).pages is pages


def test_role_and_scopes(engine):
    client = engine({"role": "  admin \n", "scopes": ["read", "", 7, "write"], "capabilities": ["pages"]})
    caps = resolve(client)
    assert caps.role == "admin" and caps.scopes == ("read", "write")
    assert caps.key == {"role": "admin", "scopes": ["read", "write"]}


@pytest.mark.parametrize("role, text", [
    (0, ""), (None, ""), (42, "42"), (True, "True"),
    ("\x1c\x1f ops\u3000", "ops"), ("\u200bops", "\u200bops"),
])
def test_role_text_form(engine, role, text):
    caps = resolve(engine({"role": role, "capabilities": ["pages"]}))
    assert caps.role == text and type(caps.role) is str


@pytest.mark.parametrize("scopes", ["read write", 7, {"read": 1}, ("read",), True])
def test_scopes_that_are_not_a_list_count_as_none(engine, scopes):
    caps = resolve(engine({"role": "ops", "scopes": scopes, "capabilities": ["pages"]}))
    assert caps.scopes == () and caps.key == {"role": "ops", "scopes": []}


def test_key_with_scopes_and_no_role(engine):
    caps = resolve(engine({"scopes": ["read"], "capabilities": ["pages"]}))
    assert caps.key == {"role": "", "scopes": ["read"]}


def test_identity_read_through_a_mapping_object(engine):
    reply = types.MappingProxyType({"role": "ops", "capabilities": ["pages"]})
    assert resolve(engine(reply)) == Capabilities(True, "capabilities", "ops", ())


# --- the probe, as resolve sees it ---

def test_probe_success(engine):
    client = engine({"role": "ops"})
    assert resolve(client) == Capabilities(True, "probe", "ops", ())
    assert client.probed == [("list_pages", (), {"limit": 1})]


@pytest.mark.parametrize("status", [400, 401, 403, 405, 422, 500, 503])
def test_probe_status_other_than_404_means_the_route_exists(engine, http_error, status):
    assert resolve(engine({}, http_error(status))) == Capabilities(True, "probe")


def test_probe_404_without_canvas_marker_means_no_pages(engine, http_error):
    caps = resolve(engine({}, http_error(404, json={"detail": "Not Found"})))
    assert caps == Capabilities(False, "probe")
    assert caps.absent is NEEDS_PAGES
    assert caps.banner() == "NO pages on this engine (page/doc tools hidden) · via probe"


@pytest.mark.parametrize("marker", [
    {"headers": {"X-Kelvo-Error": "canvas_not_found"}},
    {"headers": {"x-kelvo-error": "canvas_not_found"}},
    {"json": {"detail": "canvas not found"}},
])
def test_probe_404_naming_a_missing_canvas_is_undecided(engine, http_error, marker):
    caps = resolve(engine({}, http_error(404, **marker)))
    assert caps == UNDECIDED
    assert caps.banner() == "pages served · via undecided"


@pytest.mark.parametrize("marker", [
    {"json": {"detail": "Canvas not found"}},
    {"headers": {"X-Kelvo-Error": "Canvas_Not_Found"}},
    {"json": {"detail": "canvas not found "}},
    {"json": ["canvas not found"]},
    {"content": b"canvas not found"},
])
def test_probe_404_near_misses_mean_no_pages(engine, http_error, marker):
    assert resolve(engine({}, http_error(404, **marker))) == Capabilities(False, "probe")


@pytest.mark.parametrize("failure", [
    httpx.ConnectError("connection refused"),
    httpx.ReadTimeout("timed out"),
    httpx.RemoteProtocolError("bad reply"),
    ValueError("bad JSON"),
    RuntimeError("boom"),
])
def test_probe_other_failures_are_undecided(engine, failure):
    assert resolve(engine({}, failure)) == UNDECIDED


def test_status_error_subclass_counts_as_status_error(engine, http_error):
    class EngineStatus(httpx.HTTPStatusError):
        pass

    base = http_error(404)
    error = EngineStatus("404", request=base.request, response=base.response)
    assert resolve(engine({}, error)) == Capabilities(False, "probe")


# --- interrupts, exits and cancellation are never swallowed ---

STOPS = [KeyboardInterrupt, SystemExit, asyncio.CancelledError, GeneratorExit]


@pytest.mark.parametrize("stop", STOPS)
def test_whoami_interrupts_propagate(engine, stop):
    with pytest.raises(stop):
        resolve(engine(stop()))


@pytest.mark.parametrize("stop", STOPS)
def test_probe_interrupts_propagate(engine, stop):
    client = engine({}, stop())
    with pytest.raises(stop):
        resolve(client)


# --- hostile replies and responses ---

@pytest.mark.parametrize("reply", [["role"], "admin", 5, (1, 2)])
def test_identity_that_is_not_a_map_fails_resolve(engine, reply):
    with pytest.raises(AttributeError):
        resolve(engine(reply))


def test_errors_after_the_identity_call_are_resolves_own(engine):
    class NoText:
        def __str__(self):
            raise LookupError("no text")

    class NoTruth(dict):
        def __bool__(self):
            raise ZeroDivisionError

    with pytest.raises(LookupError):
        resolve(engine({"capabilities": [NoText()]}))
    with pytest.raises(LookupError):
        resolve(engine({"role": NoText()}))
    with pytest.raises(ZeroDivisionError):
        resolve(engine(NoTruth(role="x")))


class Response:
    """A response whose every member can be made to misbehave."""

    def __init__(self, status=404, header=None, body=None, broken=()):
        self._status, self._header, self._body, self.broken = status, header, body, broken

    @property
    def status_code(self):
        if "status" in self.broken:
            raise self.broken["status"]
        return self._status

    @property
    def headers(self):
        if "headers" in self.broken:
            raise self.broken["headers"]
        response = self

        class Headers:
            def get(self, name):
                if "get" in response.broken:
                    raise response.broken["get"]
                return response._header if name.lower() == "x-kelvo-error" else None

        return Headers()

    def json(self):
        if "json" in self.broken:
            raise self.broken["json"]
        return self._body


def failing_listing(response):
    request = httpx.Request("GET", "https://engine.test/v1/pages")
    return httpx.HTTPStatusError("failed", request=request, response=response)


@pytest.mark.parametrize("broken", [
    {"status": ValueError("no status")},
    {"headers": KeyError("headers")},
    {"get": UnicodeDecodeError("ascii", b"\xff", 0, 1, "bad header")},
])
def test_unreadable_status_error_response_is_undecided(engine, broken):
    client = engine({"role": "ops"}, failing_listing(Response(broken=broken)))
    assert resolve(client) == Capabilities(True, "undecided", "ops", ())


def test_unreadable_body_of_a_404_counts_as_no_marker(engine):
    client = engine({}, failing_listing(Response(broken={"json": ValueError("not JSON")})))
    assert resolve(client) == Capabilities(False, "probe")


def test_status_error_without_a_response_is_undecided(engine):
    error = httpx.HTTPStatusError("failed", request=httpx.Request("GET", "https://e.test"), response=None)
    assert resolve(engine({}, error)) == UNDECIDED


def test_odd_status_values_compare_like_python(engine):
    assert resolve(engine({}, failing_listing(Response(status=404.0)))) == Capabilities(False, "probe")
    assert resolve(engine({}, failing_listing(Response(status="404")))) == Capabilities(True, "probe")


def test_interrupt_while_reading_the_response_propagates_with_context(engine):
    error = failing_listing(Response(broken={"get": KeyboardInterrupt()}))
    with pytest.raises(KeyboardInterrupt) as raised:
        resolve(engine({}, error))
    assert raised.value.__context__ is error


def test_scopes_list_changed_while_read_does_not_crash(engine):
    scopes = []

    class Shrinking(str):
        def __bool__(self):
            scopes.clear()
            return True

    scopes.extend([Shrinking("read"), "write", "admin"])
    caps = resolve(engine({"scopes": scopes, "capabilities": ["pages"]}))
    assert caps.scopes == ("read",)


def test_resolve_argument_errors(engine):
    with pytest.raises(TypeError):
        resolve()
    with pytest.raises(TypeError):
        resolve(engine({}), engine({}))
    with pytest.raises(TypeError):
        resolve(engine=engine({}))


def test_no_reference_leaks(engine, http_error):
    role, scope = "ops-" + str(id(engine)), "read-" + str(id(engine))
    reply = {"role": role, "scopes": [scope], "capabilities": ["graph"]}
    clients = [engine(reply), engine({"role": role, "scopes": [scope]}, http_error(404)),
               engine(httpx.ConnectError("down"))]
    for c in clients:
        resolve(c)
    before = sys.getrefcount(role), sys.getrefcount(scope), sys.getrefcount(reply)
    for _ in range(2000):
        for c in clients:
            resolve(c)
            c.calls.clear()
    assert (sys.getrefcount(role), sys.getrefcount(scope), sys.getrefcount(reply)) == before


# --- properties against the plain reading of the identity reply ---

values = st.one_of(st.none(), st.booleans(), st.integers(-3, 3), st.text(max_size=6))


@settings(max_examples=80)
@given(role=values, scopes=st.one_of(values, st.lists(values, max_size=5)),
       declared=st.lists(st.one_of(st.text(max_size=7), st.sampled_from([" Pages", "PAGES\t"])), min_size=1, max_size=4))
def test_declared_identity_matches_plain_reading(role, scopes, declared):
    client = type("C", (), {"whoami": lambda self: {"role": role, "scopes": scopes, "capabilities": declared}})()
    caps = resolve(client)
    want_scopes = tuple(s for s in scopes if isinstance(s, str) and s) if isinstance(scopes, list) else ()
    assert caps == Capabilities(
        "pages" in {str(c).strip().lower() for c in declared}, "capabilities",
        str(role or "").strip(), want_scopes)


# --- the helpers are reached through the module, as module-level functions ---

def test_resolve_calls_the_modules_current_probe(engine, monkeypatch):
    from kelvo_mcp import capabilities

    seen = []
    monkeypatch.setattr(capabilities, "_probe_pages", lambda client: seen.append(client) or False)
    client = engine({"role": "ops"})
    assert resolve(client) == Capabilities(False, "probe", "ops", ())
    assert seen == [client] and client.probed == []
    resolve(engine({"capabilities": ["pages"]}))
    assert len(seen) == 1  # declared capabilities: no probe at all


def test_probe_asks_the_modules_current_canvas_check(engine, http_error, monkeypatch):
    from kelvo_mcp import capabilities

    monkeypatch.setattr(capabilities, "_canvas_missing", lambda resp: resp.status_code == 404)
    assert resolve(engine({}, http_error(404))) == UNDECIDED
    monkeypatch.delattr(capabilities, "_canvas_missing")
    assert resolve(engine({}, http_error(404))) == UNDECIDED  # NameError is an ordinary error
