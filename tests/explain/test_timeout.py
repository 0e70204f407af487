"""Time-outs: the phase by httpx's error kind, the budget from the request's
extensions, and the advice on whether a retry is safe."""

import asyncio

import httpx
import pytest
from hypothesis import given, settings, strategies as st

from kelvo_mcp import explain

TIMEOUT_EXAMPLE = "kelvo_page_update timed out in the read phase (30 s budget): the engine did not answer in time after receiving the request. The engine received this write and may have APPLIED it. Check before retrying: kelvo_page_get(id='p1') — a blind retry can apply it twice."
PHASE_TABLE = {'connect': 'the connection to the engine was never established', 'write': 'sending the request to the engine did not finish', 'pool': 'no free connection to the engine became available', 'read': 'the engine did not answer in time after receiving the request', 'unknown': 'the request did not complete in time'}
ROW1_HEAD = ' The engine received this write and may have APPLIED it. Check before retrying'
ROW1_NO_READ_CALL = ' (read what it would have changed)'
ROW1_TAIL = ' — a blind retry can apply it twice.'
ROW2 = ' Nothing reached the engine, so the write was not applied; retrying is safe.'
ROW3 = ' The engine may have received part of the request; check before retrying.'
ROW4_HEAD = ' A read is safe to retry. This verb scores every candidate the canvas yields, whatever token_budget or max_items asks for, so narrowing the request may not shorten it'
ROW4_RAISE = '; if it keeps timing out, raise '
ROW4_TAIL = ', or use kelvo_search, which is faster.'
ROW5 = ' A read is safe to retry; if it keeps timing out, narrow the request.'
ROW6 = ' A read is safe to retry.'

KINDS = {"connect": httpx.ConnectTimeout, "write": httpx.WriteTimeout,
         "pool": httpx.PoolTimeout, "read": httpx.ReadTimeout}


def timed_out(kind, budgets=None, **extensions):
    if budgets is not None:
        extensions["timeout"] = budgets
    request = httpx.Request("POST", "https://engine.test/v1/pages", extensions=extensions)
    return kind("timed out", request=request)


def test_phase_table():
    assert explain._PHASE_MEANS == PHASE_TABLE
    assert list(explain._PHASE_MEANS) == ["connect", "write", "pool", "read", "unknown"]


def test_example_sentence():
    exc = timed_out(httpx.ReadTimeout, httpx.Timeout(30.0).as_dict())
    assert explain.timeout("kelvo_page_update", exc, writes=True,
                           read_call="kelvo_page_get(id='p1')") == TIMEOUT_EXAMPLE


# -- timeout_phase -----------------------------------------------------------

class Both(httpx.ReadTimeout, httpx.ConnectTimeout):
    pass


class LyingClass(Exception):
    @property
    def __class__(self):
        raise RuntimeError("no class")


@pytest.mark.parametrize("exc,phase", [
    (httpx.ConnectTimeout("x"), "connect"),
    (httpx.WriteTimeout("x"), "write"),
    (httpx.PoolTimeout("x"), "pool"),
    (httpx.ReadTimeout("x"), "read"),
    (type("Slow", (httpx.ReadTimeout,), {})("x"), "read"),
    (Both("x"), "connect"),
    (httpx.TimeoutException("x"), "unknown"),
    (TimeoutError(), "unknown"),
    (ValueError(), "unknown"),
    (None, "unknown"),
    (httpx.ReadTimeout, "unknown"),
])
def test_timeout_phase(exc, phase):
    assert explain.timeout_phase(exc) == phase


def test_timeout_phase_never_fails():
    assert explain.timeout_phase(LyingClass()) == "unknown"


# -- _budget -----------------------------------------------------------------

def test_budget_from_the_request():
    exc = timed_out(httpx.ReadTimeout, {"connect": 5, "read": 30.0, "write": None, "pool": " 2.5\n"})
    assert explain._budget(exc, "read") == 30.0
    connect = explain._budget(exc, "connect")
    assert connect == 5.0 and type(connect) is float
    assert explain._budget(exc, "pool") == 2.5
    assert explain._budget(exc, "write") is None
    assert explain._budget(exc, "unknown") is None


@pytest.mark.parametrize("exc", [
    httpx.ReadTimeout("no request attached"),
    timed_out(httpx.ReadTimeout),
    timed_out(httpx.ReadTimeout, {}),
    timed_out(httpx.ReadTimeout, None),
    timed_out(httpx.ReadTimeout, 7),
    timed_out(httpx.ReadTimeout, {"read": "soon"}),
    timed_out(httpx.ReadTimeout, {"read": [1]}),
    ValueError(),
    None,
])
def test_budget_unknown(exc):
    assert explain._budget(exc, "read") is None


class Request:
    def __init__(self, extensions):
        self._extensions = extensions

    @property
    def extensions(self):
        if isinstance(self._extensions, BaseException):
            raise self._extensions
        return self._extensions


class Failed(Exception):
    def __init__(self, extensions):
        super().__init__("failed")
        self.request = Request(extensions)


@pytest.mark.parametrize("stop", [KeyboardInterrupt(), SystemExit(3), asyncio.CancelledError()])
def test_budget_lets_interrupts_through(stop):
    with pytest.raises(type(stop)):
        explain._budget(Failed(stop), "read")
    with pytest.raises(type(stop)):
        explain.timeout("t", Failed(stop), writes=False)


def test_budget_swallows_ordinary_errors():
    assert explain._budget(Failed(LookupError()), "read") is None
    assert explain.timeout("t", Failed(LookupError()), writes=False) == (
        "t timed out in the unknown phase: " + PHASE_TABLE["unknown"] + "." + ROW5)


# -- the budget note and the advice ------------------------------------------

@pytest.mark.parametrize("seconds,text", [
    (30.0, "30"), (2.5, "2.5"), (0.00001, "1e-05"), (1e6, "1e+06"), (123456.7, "123457"),
    (0.0001, "0.0001"), (float("inf"), "inf"), ("7", "7"),
])
def test_budget_note_general_format(seconds, text):
    exc = timed_out(httpx.ConnectTimeout, {"connect": seconds})
    assert explain.timeout("t", exc, writes=False).startswith(f"t timed out in the connect phase ({text} s budget): ")


@settings(max_examples=100, deadline=None)
@given(st.floats(allow_nan=False))
def test_budget_note_is_python_g_format(seconds):
    exc = timed_out(httpx.ConnectTimeout, {"connect": seconds})
    assert f" ({format(seconds, 'g')} s budget): " in explain.timeout("t", exc, writes=False)


def test_budget_env_in_the_note():
    known = timed_out(httpx.ReadTimeout, {"read": 60})
    unknown = timed_out(httpx.ReadTimeout, {"read": None})
    assert "(60 s budget, set by KELVO_READ_TIMEOUT): " in explain.timeout(
        "t", known, writes=False, budget_env="KELVO_READ_TIMEOUT")
    assert explain.timeout("t", unknown, writes=False, budget_env="KELVO_READ_TIMEOUT").startswith(
        "t timed out in the read phase (budget set by KELVO_READ_TIMEOUT): ")
    assert explain.timeout("t", unknown, writes=False, budget_env="").startswith("t timed out in the read phase: ")


def advice(kind, writes, **named):
    exc = kind("x") if kind is not None else RuntimeError("x")
    phase = explain.timeout_phase(exc)
    text = explain.timeout("t", exc, writes=writes, **named)
    assert text.startswith(f"t timed out in the {phase} phase")
    head, _, rest = text.partition(f": {PHASE_TABLE[phase]}.")
    assert rest
    return rest


@pytest.mark.parametrize("kind", [httpx.ReadTimeout, None])
def test_write_that_may_have_landed(kind):
    assert advice(kind, True) == ROW1_HEAD + ROW1_NO_READ_CALL + ROW1_TAIL
    assert advice(kind, True, read_call="r()") == ROW1_HEAD + ": r()" + ROW1_TAIL
    assert advice(kind, 1, read_call="", budget_class="retrieval") == ROW1_HEAD + ROW1_NO_READ_CALL + ROW1_TAIL


@pytest.mark.parametrize("kind", [httpx.ConnectTimeout, httpx.PoolTimeout])
def test_write_that_never_left(kind):
    assert advice(kind, True) == ROW2
    assert advice(kind, False, budget_class="retrieval") == ROW6


def test_write_cut_while_sending():
    assert advice(httpx.WriteTimeout, True, read_call="r()") == ROW3
    assert advice(httpx.WriteTimeout, False) == ROW6


@pytest.mark.parametrize("kind", [httpx.ReadTimeout, None])
def test_reads(kind):
    assert advice(kind, False) == ROW5
    assert advice(kind, None, budget_class="search") == ROW5
    assert advice(kind, False, budget_class="retrieval") == ROW4_HEAD + ROW4_TAIL
    assert (advice(kind, 0, budget_class="retrieval", budget_env="KELVO_RETRIEVAL_TIMEOUT")
            == ROW4_HEAD + ROW4_RAISE + "KELVO_RETRIEVAL_TIMEOUT" + ROW4_TAIL)


def test_canvas_is_accepted_and_unused():
    exc = httpx.ReadTimeout("x")
    assert explain.timeout("t", exc, writes=False, canvas="work") == explain.timeout("t", exc, writes=False)


# -- hostile input -----------------------------------------------------------

class Loud:
    def __bool__(self):
        raise LookupError("bool")

    def __str__(self):
        raise LookupError("str")


def test_host_errors_pass_through():
    exc = httpx.ReadTimeout("x")
    with pytest.raises(LookupError, match="bool"):
        explain.timeout("t", exc, writes=Loud())
    with pytest.raises(LookupError, match="str"):
        explain.timeout(Loud(), exc, writes=False)
    with pytest.raises(LookupError, match="bool"):
        explain.timeout("t", exc, writes=False, budget_env=Loud())


def test_argument_errors():
    exc = httpx.ReadTimeout("x")
    with pytest.raises(TypeError):
        explain.timeout("t", exc)
    with pytest.raises(TypeError):
        explain.timeout("t", exc, True)
    with pytest.raises(TypeError):
        explain.timeout("t", exc, writes=True, unknown=1)
    with pytest.raises(TypeError):
        explain._budget(exc)
