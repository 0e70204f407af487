"""Handlers of the docs family.

Docs live on the docs canvas as pages whose first block is the doc marker;
the registry scan reads them, the engine's approval state decides which act.
"""

from __future__ import annotations

import datetime
from collections.abc import Iterator
from typing import Any

import httpx

from kelvo_mcp import refresh
from kelvo_mcp.runtime import ToolInputError
from kelvo_mcp.server.checks import check_doc_name
from kelvo_mcp.server.connection import Connection, Missing, surface_call


def all_docs(conn: Connection) -> Iterator[refresh.DocInfo]:
    """Every doc on the docs canvas, in the engine's order, the first of a
    name only: the listing paged through with its cursor, each page fetched as
    it comes. The registry scan stops at MAX_REGISTRY_PAGES pages; a doc past
    them is still one a save acknowledged, and is found here."""
    seen: set[str] = set()
    cursor: str | None = None
    while True:
        more = {"cursor": cursor} if cursor else {}
        listing = conn.engine.list_pages(limit=refresh.MAX_REGISTRY_PAGES, **more) or {}
        for row in listing.get("pages") or []:
            page_id = str(row.get("page_id") or "")
            if not page_id:
                continue
            d = refresh.doc_from_page(row, conn.engine.get_page(page_id) or {})
            if d is not None and d.name not in seen:
                seen.add(d.name)
                yield d
        cursor = listing.get("next_cursor")
        if not listing.get("has_more") or not cursor:
            return


def doc_named(conn: Connection, name: str) -> refresh.DocInfo | None:
    """The doc in force of that name. When the scope's registry holds the
    name, its page is read alone (one engine request) and taken if it still
    is that doc; otherwise, or when it no longer is, the canvas is walked."""
    with conn.lock:
        docs = conn.docs
    page_id = next((d.page_id for d in docs or () if d.name == name), None)
    if page_id is not None:
        try:
            detail = conn.engine.get_page(page_id)
        except httpx.HTTPStatusError as exc:
            if exc.response.status_code != 404:
                raise
            detail = None
        d = refresh.doc_from_page(detail, detail) if isinstance(detail, dict) else None
        if d is not None and d.name == name:
            return d
    return next((d for d in all_docs(conn) if d.name == name), None)


def find_doc(conn: Connection, tool: str, name: str) -> refresh.DocInfo:
    check_doc_name(tool, name)
    d = doc_named(conn, name)
    if d is None:
        raise Missing("doc", name, ["the name is misspelled", "the doc was deleted"],
                      surface_call(conn, "kelvo_doc_list"))
    return d


def docs_refresh(conn: Connection, tool: str, args: dict[str, Any]) -> dict[str, Any]:
    docs, notes = refresh.derive_registry(conn.engine)
    reply: dict[str, Any] = {"text": refresh.handshake_text(docs, display=conn.display)}
    if notes:
        reply["note"] = "; ".join(f"{k}: {v}" for k, v in notes.items())
    return reply


def doc_list(conn: Connection, tool: str, args: dict[str, Any]) -> dict[str, Any]:
    kind = args.get("kind")
    docs, notes = refresh.derive_registry(conn.engine)
    reply: dict[str, Any] = {
        "docs": [{"name": d.name, "kind": d.kind, "title": d.title, "page_id": d.page_id, "pinned": d.pinned,
                  "approval": d.approval, "instruction": refresh.is_instruction(d)}
                 for d in docs if kind is None or d.kind in (kind, kind + "s")]}
    if notes:
        reply["note"] = "; ".join(f"{k}: {v}" for k, v in notes.items())
    return reply


def doc_get(conn: Connection, tool: str, args: dict[str, Any]) -> dict[str, Any]:
    d = find_doc(conn, tool, args["name"])
    return {"name": d.name, "kind": d.kind, "approval": d.approval, "pinned": d.pinned,
            "when_to_use": d.when_to_use, "page_id": d.page_id,
            "body": refresh._truncated_body(d.body, refresh.MAX_DOC_CHARS, d.name)}


def doc_save(conn: Connection, tool: str, args: dict[str, Any]) -> dict[str, Any]:
    name, body = args["name"], args["body"]
    check_doc_name(tool, name)
    if len(body) > refresh.MAX_DOC_CHARS:
        raise ToolInputError(f"{tool}: the body has {len(body)} characters; a doc holds at most "
                             f"{refresh.MAX_DOC_CHARS}. Split it into docs that each cover one topic.")
    # Found and written in one engine call: two saves of one new name make one page.
    saved = conn.engine.save_doc(name, [*map(dict, refresh.markdown_to_blocks(body))], args.get("kind"))
    kind, page_id = saved["kind"], saved["page_id"]
    return {"name": name, "kind": kind, "page_id": page_id, "saved": True,
            "note": "Saved. It acts as an instruction only once the user approves it in the Kelvo app; "
                    "kelvo_doc_list shows its approval state."}


def doc_delete(conn: Connection, tool: str, args: dict[str, Any]) -> dict[str, Any]:
    d = find_doc(conn, tool, args["name"])
    conn.engine.delete_page(d.page_id)
    return {"name": d.name, "page_id": d.page_id, "deleted": True}


def learn(conn: Connection, tool: str, args: dict[str, Any]) -> dict[str, Any]:
    text = " ".join(args["text"].split())
    if not text or len(text) > refresh.MAX_DOC_CHARS:
        raise ToolInputError(f"{tool}: text must hold between 1 and {refresh.MAX_DOC_CHARS} characters.")
    day = datetime.datetime.fromtimestamp(conn.wall_clock(), datetime.UTC).strftime("%Y-%m-%d")
    topic = " ".join(str(args.get("topic") or "").split())
    line = {"block_type": "bulleted", "text": f"{day}{f' [{topic}]' if topic else ''}: {text}"}
    page_id = conn.engine.append_learning([line])["page_id"]  # the learnings doc, made when missing
    return {"page_id": page_id, "learned": line["text"]}


