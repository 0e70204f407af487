"""Fuzz target of kelvo_mcp.capabilities."""

import httpx
from draw import Draw

from kelvo_mcp import capabilities as C

REQUEST = httpx.Request("GET", "https://engine.test/v1/pages?limit=1")
WORDS = ["pages", " Pages\u2003", "PAGES", "graph", "page", "admin", "read", "write", "canvas not found",
         "canvas_not_found", '{"detail": "canvas not found"}', '{"detail": ', '"', "}", "[", "]", "null"]


class Client:
    def __init__(self, identity, listing):
        self.identity, self.listing, self.calls = identity, listing, []

    def whoami(self):
        self.calls.append("whoami")
        if isinstance(self.identity, BaseException):
            raise self.identity
        return self.identity

    def list_pages(self, **kw):
        self.calls.append(("list_pages", kw))
        if isinstance(self.listing, BaseException):
            raise self.listing
        return self.listing


def _listing(d):
    kind = d.int(0, 5)
    if kind == 0:
        return {"pages": [], "has_more": False}
    if kind == 1:
        return d.pick([httpx.ConnectTimeout("t"), httpx.ReadTimeout("t"), ValueError("bad reply"),
                       httpx.ConnectError("refused")])
    headers = {}
    if d.bool():
        headers["X-Kelvo-Error"] = d.pick(["canvas_not_found", "Canvas_Not_Found", " canvas_not_found",
                                           d.text(WORDS, 2)]).encode("utf-8", "surrogatepass")
    body = d.text(WORDS, 8).encode("utf-8", "surrogatepass") if d.bool() else b'{"detail": "canvas not found"}'
    status = d.pick([404, 404, 404, 400, 401, 403, 500, 503, 200, 299, 599])
    response = httpx.Response(status, headers=headers, content=body, request=REQUEST)
    return httpx.HTTPStatusError("failed", request=REQUEST, response=response)


def _canvas_missing(resp):
    if resp.headers.get("X-Kelvo-Error") == "canvas_not_found":
        return True
    try:
        return (resp.json() or {})["detail"] == "canvas not found"
    except Exception:
        return False


def target_resolve(data):
    """resolve over drawn identity replies and probe outcomes agrees with the
    plain reading: the identity call fails open, a declared capability list
    decides, else the probe does, and only positive evidence hides pages."""
    d = Draw(data)
    if d.int(0, 6) == 0:
        identity = d.pick([httpx.ConnectError("down"), RuntimeError("x"), KeyError("k")])
    else:
        identity = {}
        for key in d.subset(["role", "scopes", "capabilities", "other"]):
            identity[key] = d.pick([d.text(WORDS, 3), [d.text(WORDS, 2) for _ in range(d.int(0, 4))],
                                    [d.value(0, WORDS) for _ in range(d.int(0, 3))], d.value(1, WORDS), None])
        identity = identity if d.int(0, 8) else d.pick([None, {}, 0, ""])
    listing = _listing(d)
    client = Client(identity, listing)
    scopes = (identity or {}).get("scopes") if isinstance(identity, dict) else None
    if scopes and not isinstance(scopes, list):
        try:  # a reply outside the identity shape: any orderly outcome
            C.resolve(client)
        except (TypeError, AttributeError):
            pass
        return
    got = C.resolve(client)
    if isinstance(identity, BaseException):
        assert got == C.Capabilities(source="fail-open") and client.calls == ["whoami"]
        return
    ident = identity or {}
    role = str(ident.get("role") or "").strip()
    scopes = tuple(s for s in (ident.get("scopes") or []) if isinstance(s, str) and s)
    caps = ident.get("capabilities")
    if isinstance(caps, list) and caps:
        want = C.Capabilities("pages" in {str(c).strip().lower() for c in caps}, "capabilities", role, scopes)
        assert client.calls == ["whoami"]
    else:
        if not isinstance(listing, BaseException):
            probed = True
        elif isinstance(listing, httpx.HTTPStatusError):
            probed = True if listing.response.status_code != 404 else (
                None if _canvas_missing(listing.response) else False)
        else:
            probed = None
        want = C.Capabilities(True if probed is None else probed, "undecided" if probed is None else "probe",
                              role, scopes)
        assert client.calls == ["whoami", ("list_pages", {"limit": 1})]
    assert got == want, (identity, got, want)
    assert got.absent == (frozenset() if got.pages else C.NEEDS_PAGES)
