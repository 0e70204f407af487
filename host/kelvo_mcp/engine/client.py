"""The engine client over HTTP: the calls of `EmbeddedEngine`, with the same
arguments and replies, sent to an engine served by `python -m
kelvo_mcp.engine` (routes in `kelvo_mcp.engine.http_api`).

    with HttpEngine("http://127.0.0.1:8470/v1") as engine:
        engine.list_pages(limit=50)

Failures are httpx's own: a status error from `raise_for_status()` carrying
the engine's {"detail": ...} body and X-Kelvo-Error header, a
`ConnectError` when nothing listens, a `ReadTimeout` when the engine answers
later than the read budget. Every request carries its per-phase budgets in
`request.extensions["timeout"]`, where the core's explain module reads them.

A page id is sent only as one plain path segment (letters, digits and
"-._~", never "." or ".."): httpx removes dot segments, so `delete_page("..")`
would reach the canvas itself. Any other id is refused before anything is
sent, with the error the engine gives for a page it does not hold (the
`HTTPStatusError` of a 404 "Not Found"), which no page id of the engine's
own can meet. Every other segment (a doc name, a canvas) is sent
percent-encoded, "." and ".." with their dots escaped, so the engine answers
for it as given.

Thread-safe: one `httpx.Client` (its connection pool is shared by all
threads) and a lock around the few things kept here.
"""

from __future__ import annotations

import json
import string
import threading
import time
import urllib.parse
from collections import deque
from collections.abc import Callable, Mapping
from typing import Any

import httpx

from kelvo_mcp.engine.api import TIMEOUTS, Fault

_SEGMENT_CHARS = frozenset(string.ascii_letters + string.digits + "-._~")


def _segment(value: Any) -> str:
    """`value` as one path segment: percent-encoded, and "." and ".." with
    their dots escaped, which httpx would otherwise remove with the segment
    before them (the engine decodes each segment after splitting the path)."""
    quoted = urllib.parse.quote(str(value), safe="")
    return quoted.replace(".", "%2E") if quoted in (".", "..") else quoted


class HttpEngine:
    """An engine reached over HTTP at `base_url` (".../v1"). `canvas` names
    the canvas to address; by default the engine is asked, at first use."""

    kind = "http"

    def __init__(self, base_url: str, *, timeouts: Mapping[str, float] = TIMEOUTS, canvas: str | None = None,
                 max_connections: int = 64, wall_clock: Callable[[], float] = time.time,
                 token: str | None = None, admin_token: str | None = None) -> None:
        self.base_url = base_url.rstrip("/")
        self.admin_token = admin_token  # sent by approve() alone: what the user holds, never an agent
        headers = {"Accept": "application/json"}
        if token is not None:
            headers["Authorization"] = f"Bearer {token}"
        self.timeouts = {**TIMEOUTS, **timeouts}
        self.http = httpx.Client(
            base_url=self.base_url,
            timeout=httpx.Timeout(connect=self.timeouts["connect"], read=self.timeouts["read"],
                                  write=self.timeouts["write"], pool=self.timeouts["pool"]),
            limits=httpx.Limits(max_connections=max_connections, max_keepalive_connections=max_connections),
            headers=headers)
        self.wall_clock = wall_clock
        self.calls: deque[tuple[str, Any]] = deque(maxlen=256)
        self.faults: dict[str, Fault] = {}
        self.lock = threading.Lock()
        self._canvas = canvas

    # -- plumbing -----------------------------------------------------------

    @property
    def canvas(self) -> str:
        """The canvas this client addresses (asked of the engine once)."""
        if self._canvas is None:
            rows = self._send("list_canvases", "GET", "/canvases").get("canvases") or []
            name = rows[0].get("name") if rows and isinstance(rows[0], dict) else None
            if not isinstance(name, str) or not name:
                raise httpx.DecodingError("the engine named no canvas in its /canvases reply")
            with self.lock:
                self._canvas = self._canvas or name
        return self._canvas

    def fail_next(self, call: str, fault: Fault) -> None:
        """The next `call` fails before it is sent: an httpx time-out of that
        kind, or that HTTP status with a "detail" body, as the engine's own."""
        with self.lock:
            self.faults[call] = fault

    def _path(self, *segments: Any) -> str:
        quoted = "/".join(_segment(s) for s in segments)
        return f"/canvases/{_segment(self.canvas)}{'/' + quoted if quoted else ''}"

    def _page_path(self, method: str, page_id: Any, *rest: str) -> str:
        """The path of the page `page_id` (and `rest` under it); for an id
        that is not one plain segment, the engine's 404 raised unsent."""
        text = str(page_id)
        if text in ("", ".", "..") or not _SEGMENT_CHARS.issuperset(text):
            quoted = urllib.parse.quote(text, safe="", errors="surrogatepass")
            # Dots escaped too, so the URL the error names is the id as given.
            request = self.http.build_request(method, "/".join((self._path("pages"), quoted.replace(".", "%2E"),
                                                                 *rest)))
            body = json.dumps({"detail": "Not Found"}).encode()
            httpx.Response(404, content=body, headers={"content-type": "application/json"},
                           request=request).raise_for_status()
        return self._path("pages", text, *rest)

    def _send(self, call: str, method: str, path: str, arg: Any = None, *,
              params: dict[str, Any] | None = None, json: Any = None, token: str | None = None,
              headers: dict[str, str] | None = None) -> Any:
        with self.lock:
            self.calls.append((call, arg))
            fault = self.faults.pop(call, None)
        headers = dict(headers or {})
        if token is not None:
            headers["Authorization"] = f"Bearer {token}"
        request = self.http.build_request(method, path, params=params, json=json, headers=headers)
        if isinstance(fault, int):
            resp = httpx.Response(fault, json={"detail": "internal error while serving the request"},
                                  request=request)
            resp.raise_for_status()
        elif fault is not None:
            raise fault("timed out", request=request)
        response = self.http.send(request)
        response.raise_for_status()
        return response.json()

    def close(self) -> None:
        self.http.close()

    def __enter__(self) -> HttpEngine:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # -- the engine calls -----------------------------------------------------

    def whoami(self) -> dict[str, Any]:
        return self._send("whoami", "GET", self._path("whoami"))  # type: ignore[no-any-return]

    def list_pages(self, limit: int = 50, cursor: str | None = None) -> dict[str, Any]:
        params: dict[str, Any] = {"limit": int(limit)}
        if cursor:
            params["cursor"] = cursor
        return self._send("list_pages", "GET", self._path("pages"), limit,  # type: ignore[no-any-return]
                          params=params)

    def get_page(self, page_id: str) -> dict[str, Any]:
        return self._send("get_page", "GET", self._page_path("GET", page_id), page_id)  # type: ignore[no-any-return]

    def create_page(self, title: str, blocks: list[dict[str, Any]], icon: str | None = None) -> dict[str, Any]:
        body: dict[str, Any] = {"title": title, "blocks": blocks}
        if icon is not None:
            body["icon"] = icon
        return self._send("create_page", "POST", self._path("pages"), title, json=body)  # type: ignore[no-any-return]

    def append_blocks(self, page_id: str, blocks: list[dict[str, Any]]) -> dict[str, Any]:
        return self._send("append_blocks", "POST", self._page_path("POST", page_id, "blocks"),  # type: ignore[no-any-return]
                          page_id, json={"blocks": blocks})

    def write_blocks(self, page_id: str, blocks: list[dict[str, Any]]) -> dict[str, Any]:
        return self._send("write_blocks", "PUT", self._page_path("PUT", page_id, "blocks"),  # type: ignore[no-any-return]
                          page_id, json={"blocks": blocks})

    def update_blocks(self, page_id: str, updates: list[dict[str, Any]]) -> dict[str, Any]:
        return self._send("update_blocks", "PATCH", self._page_path("PATCH", page_id, "blocks"),  # type: ignore[no-any-return]
                          page_id, json={"updates": updates})

    def rename_page(self, page_id: str, title: str) -> dict[str, Any]:
        return self._send("rename_page", "PATCH", self._page_path("PATCH", page_id),  # type: ignore[no-any-return]
                          page_id, json={"title": title})

    def save_doc(self, name: str, blocks: list[dict[str, Any]], kind: str | None = None) -> dict[str, Any]:
        body: dict[str, Any] = {"blocks": blocks}
        if kind:
            body["kind"] = kind
        return self._send("save_doc", "PUT", self._path("docs", name), name, json=body)  # type: ignore[no-any-return]

    def append_learning(self, blocks: list[dict[str, Any]]) -> dict[str, Any]:
        return self._send("append_learning", "POST", self._path("learnings"),  # type: ignore[no-any-return]
                          json={"blocks": blocks})

    def delete_page(self, page_id: str) -> dict[str, Any]:
        return self._send("delete_page", "DELETE", self._page_path("DELETE", page_id), page_id)  # type: ignore[no-any-return]

    def check_canvas(self, canvas: Any) -> None:
        """Nothing for the canvas addressed (or none named); for another, the
        engine is asked, and its 404 canvas_not_found raised."""
        if canvas is None or canvas in (self.canvas, f"cv_{self.canvas}"):
            return
        self._send("check_canvas", "GET", f"/canvases/{_segment(canvas)}/resolve", canvas)

    def list_canvases(self) -> dict[str, Any]:
        return self._send("list_canvases", "GET", "/canvases")  # type: ignore[no-any-return]

    def approve(self, page_id: str, state: str = "approved", *, revision: str) -> dict[str, Any]:
        """What the user does in the Kelvo app: approve the page at the
        revision the user read (its detail's "revision", its ETag), or with
        state "none" revoke its name; not a call of the host's engine client.
        Sent with the admin token; the engine refuses it with any other, and
        answers 412 when the page is at another revision."""
        return self._send("approve", "PUT",  # type: ignore[no-any-return]
                          self._page_path("PUT", page_id, "approval"), page_id, json={"state": state}, token=self.admin_token,
                          headers={"If-Match": f'"{revision}"'})

    def store_generation(self) -> int | None:
        """The engine's store generation, raised by every write; None from an
        engine that does not serve it (its 404 or 501)."""
        try:
            reply = self._send("store_generation", "GET", self._path("generation"))
        except httpx.HTTPStatusError as exc:
            if exc.response.status_code in (404, 501):
                return None
            raise
        value = reply.get("store_generation") if isinstance(reply, dict) else None
        if not isinstance(value, int) or isinstance(value, bool):
            raise httpx.DecodingError("the engine's generation reply holds no whole number")
        return value

    def refuse(self, call: str, method: str = "POST") -> None:
        """A call the engine does not serve, sent as it is: the engine's 501."""
        self._send(call, method, self._path(call))
