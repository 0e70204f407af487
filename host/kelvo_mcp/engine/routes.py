"""The engine's routes, run on the worker thread that serves a request: the
body parsed, the path and query read (numbers as bounded ASCII digits, doc
names and kinds as the core takes them), the engine called and the reply
written. `kelvo_mcp.engine.http_api` is the gate and the application around
them."""

from __future__ import annotations

import json
import logging
import urllib.parse
from typing import Any

import httpx

from kelvo_mcp import refresh
from kelvo_mcp.engine.api import NUMBER_DIGITS, PageNotFound, ascii_number
from kelvo_mcp.engine.embedded import EmbeddedEngine

LIMIT_MAX = 1000       # pages a listing request may ask for
_LIMIT_DIGITS = 4

log = logging.getLogger("kelvo_mcp.engine")


class Reply(Exception):
    """A reply other than 200 worked out while routing: status, detail, headers."""

    def __init__(self, status: int, detail: Any, headers: dict[str, str] | None = None) -> None:
        super().__init__(status, detail)
        self.status, self.detail, self.headers = status, detail, headers or {}


class Ok:
    """A 200 reply with headers of its own."""

    def __init__(self, body: Any, headers: dict[str, str]) -> None:
        self.body, self.headers = body, headers


def serve(engine: EmbeddedEngine, method: str, raw_path: str, parts: list[str] | None, query: str,
          raw: bytes, if_match: str | None = None) -> tuple[int, bytes, dict[str, str]]:
    """One request that passed the gate, on the worker thread: the body
    parsed, `route`, and the reply written, as (status, JSON bytes, headers)."""
    headers: dict[str, str] = {}
    try:
        reply = route(engine, method, parts, query, _parse_json(raw), if_match)
        status = 200
        if isinstance(reply, Ok):
            reply, headers = reply.body, reply.headers
    except Reply as r:
        status, reply, headers = r.status, {"detail": r.detail}, r.headers
    except httpx.HTTPStatusError as exc:
        resp = exc.response
        status = resp.status_code
        try:
            reply = resp.json()
        except ValueError:
            reply = {"detail": resp.text}
        for name in ("X-Kelvo-Error", "ETag"):
            if resp.headers.get(name):
                headers[name] = resp.headers[name]
    except httpx.TimeoutException:
        status, reply = 504, {"detail": "the engine timed out while serving the request"}
    except Exception:
        log.exception("%s %s failed", method, raw_path)
        status, reply = 500, {"detail": "internal error while serving the request"}
    return status, json.dumps(reply).encode(), headers


def _parse_json(raw: bytes) -> Any:
    if not raw:
        return None
    try:
        return json.loads(raw)
    except (ValueError, UnicodeDecodeError):
        raise Reply(400, "the request body is not JSON") from None


def _query_one(params: dict[str, list[str]], name: str) -> str | None:
    values = params.get(name)
    if values is not None and len(values) > 1:
        raise Reply(400, f"the query gives {name} more than once")
    return values[0] if values else None


def _listing_args(params: dict[str, list[str]]) -> tuple[int, str | None]:
    limit, cursor = _query_one(params, "limit"), _query_one(params, "cursor")
    number = 50 if limit is None else ascii_number(limit, _LIMIT_DIGITS)
    if number is None:
        raise Reply(400, f"limit must be a whole number of 1 to {_LIMIT_DIGITS} digits")
    if cursor is not None and ascii_number(cursor) is None:
        raise Reply(400, "the cursor is not one this engine gave: send next_cursor from a listing")
    return min(max(number, 1), LIMIT_MAX), cursor


def _block_ids(blocks: list[dict[str, Any]], field: str) -> list[dict[str, Any]]:
    """`blocks`, once each block id numbered as ours ("b" and digits) has a
    number the engine can hold."""
    for i, block in enumerate(blocks):
        held = block.get("block_id")
        if isinstance(held, str) and held[:1] == "b" and held[1:].isdigit() and ascii_number(held[1:]) is None:
            raise Reply(400, f"{field}[{i}].block_id is not a block id: \"b\" and 1 to {NUMBER_DIGITS} digits")
    return blocks


def _doc_name(name: str) -> str:
    if not refresh.valid_name(name):
        raise Reply(422, [{"loc": ["path", "name"],
                            "msg": f"not a doc name: a lowercase letter or digit, then up to "
                                   f"{refresh.MAX_DOC_NAME - 1} of a-z 0-9 . _ -"}])
    return name


def _doc_kind(body: Any) -> str | None:
    kind = _field(body, "kind", str, required=False)
    if kind is not None and kind not in refresh.DOC_KINDS:
        raise Reply(422, [{"loc": ["body", "kind"], "msg": f"must be one of {', '.join(refresh.DOC_KINDS)}"}])
    return kind


def _field(body: Any, name: str, kind: type, *, required: bool = True) -> Any:
    if not isinstance(body, dict):
        raise Reply(422, [{"loc": ["body"], "msg": "the body must be a JSON object"}])
    if name not in body or body[name] is None:
        if required:
            raise Reply(422, [{"loc": ["body", name], "msg": "field required"}])
        return None
    value = body[name]
    if not isinstance(value, kind) or (isinstance(value, list) and not all(isinstance(b, dict) for b in value)):
        what = "a list of objects" if kind is list else "a string"
        raise Reply(422, [{"loc": ["body", name], "msg": f"must be {what}"}])
    return value


def _revision_named(if_match: str | None) -> str:
    """The revision an approval names in its If-Match header: one strong tag."""
    tag = (if_match or "").strip()
    if not tag:
        raise Reply(428, 'approving needs If-Match: "<revision>", the ETag of the page as the user read it')
    if tag == "*" or tag.startswith("W/") or len(tag) < 3 or tag[0] != '"' or tag[-1] != '"' or '"' in tag[1:-1]:
        raise Reply(428, 'approving needs one strong tag, If-Match: "<revision>", the ETag of the page as the '
                          "user read it (not *, not a weak or a list of tags)")
    return tag[1:-1]


def route(engine: EmbeddedEngine, method: str, parts: list[str] | None, query: str, body: Any,
          if_match: str | None = None) -> Any:
    """One request on `engine`, its path in `parts` as the gate read them:
    the reply body (an `_Ok` when it carries headers), or the engine's error."""
    if parts is None:
        raise Reply(404, "Not Found")
    if parts == ["canvases"] and method == "GET":
        return engine.list_canvases()
    if len(parts) < 3 or parts[0] != "canvases":
        raise Reply(404, "Not Found")
    canvas, rest = parts[1], parts[2:]
    engine.check_canvas(canvas)
    params = urllib.parse.parse_qs(query, keep_blank_values=True)
    match rest, method:
        case ["whoami"], "GET":
            return engine.whoami()
        case ["resolve"], "GET":
            return {"canvas_id": f"cv_{engine.canvas}", "name": engine.canvas}
        case ["canvases"], "GET":
            return engine.list_canvases()
        case ["pages"], "GET":
            limit, cursor = _listing_args(params)
            return engine.list_pages(limit=limit, cursor=cursor)
        case ["pages"], "POST":
            return engine.create_page(_field(body, "title", str), _block_ids(_field(body, "blocks", list), "blocks"),
                                      _field(body, "icon", str, required=False))
        case ["pages", page_id], "GET":
            detail = engine.get_page(page_id)
            return Ok(detail, {"ETag": f'"{detail["revision"]}"'})
        case ["generation"], "GET":
            return {"store_generation": engine.store_generation()}
        case ["pages", page_id], "PATCH":
            return engine.rename_page(page_id, _field(body, "title", str))
        case ["pages", page_id], "DELETE":
            return engine.delete_page(page_id)
        case ["pages", page_id, "blocks"], "POST":
            return engine.append_blocks(page_id, _block_ids(_field(body, "blocks", list), "blocks"))
        case ["pages", page_id, "blocks"], "PUT":
            return engine.write_blocks(page_id, _block_ids(_field(body, "blocks", list), "blocks"))
        case ["pages", page_id, "blocks"], "PATCH":
            return engine.update_blocks(page_id, _field(body, "updates", list))
        case ["docs", name], "PUT":
            return engine.save_doc(_doc_name(name), _block_ids(_field(body, "blocks", list), "blocks"),
                                   _doc_kind(body))
        case ["learnings"], "POST":
            return engine.append_learning(_block_ids(_field(body, "blocks", list), "blocks"))
        case ["pages", page_id, "approval"], "PUT":
            state = _field(body, "state", str)
            if state not in ("approved", "none"):
                raise Reply(422, [{"loc": ["body", "state"], "msg": 'must be "approved" or "none"'}])
            expect = _revision_named(if_match)
            try:
                return engine.approve(page_id, state, revision=expect)
            except PageNotFound:
                raise Reply(404, "Not Found") from None
        case [call], _ if call not in ("whoami", "resolve", "canvases", "pages", "learnings", "generation"):
            engine.refuse(call, method)
    raise Reply(404, "Not Found")
