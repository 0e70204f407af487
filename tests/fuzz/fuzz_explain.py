"""Fuzz targets of kelvo_mcp.explain: the text cleaner, and the sentences for
status failures, time-outs and missing things over drawn httpx objects."""

import json

import httpx
from draw import Draw
from test_clean import reference as clean_reference

from kelvo_mcp import explain as E

SECRETS = ["kelvo_sk_", "kelvo_sk_abc123", "sk-", "sk-abcdefgh12", "SK-ABCDEFGHIJ", "Bearer ", "bearer\t",
           "BEARER\u3000x", "api_key=", "API-KEY: ", "apikey :", "api_key", "https://", "http://engine.test/x?k=1",
           "HTTPS://", "ftp://", "<url>", "<redacted>", "\u2026"]
KINDS = {"connect": httpx.ConnectTimeout, "write": httpx.WriteTimeout, "pool": httpx.PoolTimeout,
         "read": httpx.ReadTimeout}
STATUS_WORDS = dict(E._STATUS_WORDS)
TOOLS = ["kelvo_page_get", "kelvo_page_update", "kelvo_search", "kelvo_answer"]


def target_clean(data):
    """_clean agrees with the plain reading: secrets redacted, URLs replaced,
    whitespace squeezed, at most the cap and an ellipsis."""
    d = Draw(data)
    text = d.text(SECRETS, 40)
    got = E._clean(text)
    assert got == clean_reference(text), text
    assert len(got) <= E._DETAIL_MAX + 1


def _body(d):
    kind = d.int(0, 4)
    if kind == 0:
        return d.text(SECRETS + ['{"detail": ', '"', "}", "[", "]"], 10).encode("utf-8", "surrogatepass")
    if kind == 1:
        items = [{"loc": d.pick([["body", d.text(SECRETS, 2), 0], ["query", "limit"], "x", None, [], 5]),
                  "msg": d.pick([d.text(SECRETS, 6), None, 3])} if d.int(0, 5) else d.value(1, SECRETS)
                 for _ in range(d.int(0, 5))]
        return json.dumps({"detail": items}).encode()
    if kind == 2:
        return json.dumps({"detail": d.text(SECRETS + ["not found", "NOT FOUND"], 12)}).encode()
    return json.dumps(d.value(2, SECRETS + ["detail"])).encode()


def target_http_failure(data):
    """http_failure, timeout and not_found build their sentences around the
    cleaned engine text: the status words, the engine's own reason, the advice
    after a failed write; no secret or URL of the engine's reaches the agent."""
    d = Draw(data)
    tool = d.pick(TOOLS)
    status = d.pick(list(STATUS_WORDS) + [418, 200, 302, 599, 600, 999, 100])
    headers = {"content-type": d.pick(["application/json", "text/html", "application/problem+json; x"])}
    request = httpx.Request("POST", "https://engine.test/v1/pages?api_key=sk-abcdefghijkl")
    response = httpx.Response(status, headers=headers, content=_body(d), request=request)
    exc = httpx.HTTPStatusError("HTTP %d at https://engine.test/?token=Bearer abc" % status, request=request,
                                response=response)
    writes = d.bool()
    canvas = d.pick([None, "home", "work", d.text(SECRETS, 2)])
    text = E.http_failure(tool, exc, writes=writes, canvas=canvas)
    reason = E.engine_reason(response)
    assert reason == clean_reference(reason) and len(reason) <= E._DETAIL_MAX + 1
    assert text.startswith(f"{tool}: Kelvo returned HTTP {status} ({STATUS_WORDS.get(status, 'the request failed')})")
    assert (reason in text) if reason else True
    assert text.endswith(" A server error after a write does not prove nothing was written; read before retrying.") \
        is (status >= 500 and writes)
    engine_part = text[text.index(")"):]
    assert "https://engine.test" not in engine_part and "sk-abcdefghijkl" not in engine_part

    kind = d.pick(list(KINDS) + ["unknown"])
    extensions = {}
    if d.bool():
        extensions["timeout"] = d.pick([httpx.Timeout(d.pick([30.0, 0.5, 1e-7, 120.0, None])).as_dict(),
                                        {kind: d.number()}, d.value(1), None])
    request = httpx.Request("GET", "https://engine.test/v1/pages", extensions=extensions)
    cls = KINDS.get(kind, httpx.TimeoutException)
    texc = cls(d.text(SECRETS, 4), request=request)
    assert E.timeout_phase(texc) == kind
    read_call = d.maybe(E.call("kelvo_page_get", d.pick([None, "home", "work"]), page_id=d.text(SECRETS, 2)))
    said = E.timeout(tool, texc, writes=writes, read_call=read_call,
                     budget_class=d.pick([None, "retrieval", "other"]), budget_env=d.maybe("KELVO_TIMEOUT"))
    assert said.startswith(f"{tool} timed out in the {kind} phase")

    ident = d.text(SECRETS + ["'", '"', "\\"], 6)
    causes = [d.text(SECRETS, 3) for _ in range(d.int(0, 4))]
    sentence = E.not_found(d.pick(["page", "node", "canvas"]), ident, d.pick([None, "home", "work"]), causes,
                           d.maybe("kelvo_page_list()"))
    assert sentence.startswith("no ") and E.possible(causes) in sentence
    assert repr(ident)[1:-1] in sentence or "\\" in repr(ident)
