"""Handlers of the page family: each checks what the core checks, then calls the engine."""

from __future__ import annotations

from typing import Any

from kelvo_mcp import lexicon, refresh
from kelvo_mcp.runtime import ToolInputError
from kelvo_mcp.server.checks import checked_blocks
from kelvo_mcp.server.connection import Connection


def page_list(conn: Connection, tool: str, args: dict[str, Any]) -> dict[str, Any]:
    return conn.engine.list_pages(limit=args.get("limit", 50), cursor=args.get("cursor"))


def page_get(conn: Connection, tool: str, args: dict[str, Any]) -> dict[str, Any]:
    page = conn.engine.get_page(args["page_id"])
    return {"page_id": page["page_id"], "title": page["title"], "updated_at": page["updated_at"],
            "blocks": page["blocks"], "text": refresh.blocks_to_markdown(page["blocks"])}


def page_create(conn: Connection, tool: str, args: dict[str, Any]) -> dict[str, Any]:
    icon = args.get("icon")
    if icon is not None and not lexicon.icon_ok(icon):
        raise ToolInputError(f"{tool}: icon must be one emoji of at most {lexicon.ICON_MAX_UTF16} UTF-16 units "
                             f"(this one has {lexicon.utf16_len(icon.strip())}).")
    blocks, notes = checked_blocks(tool, args["blocks"])
    reply = conn.engine.create_page(args["title"], blocks, icon)
    return {**reply, "notes": notes} if notes else reply


def page_append(conn: Connection, tool: str, args: dict[str, Any]) -> dict[str, Any]:
    blocks, notes = checked_blocks(tool, args["blocks"])
    reply = conn.engine.append_blocks(args["page_id"], blocks)
    return {**reply, "notes": notes} if notes else reply


def page_update(conn: Connection, tool: str, args: dict[str, Any]) -> dict[str, Any]:
    for i, u in enumerate(args["updates"]):
        if not isinstance(u.get("block_id"), str):
            raise ToolInputError(f"{tool}: updates[{i}] needs a block_id from kelvo_page_get.")
    updates, notes = checked_blocks(tool, args["updates"], "updates", partial=True)
    updates = [{**u, "block_id": src["block_id"]} for u, src in zip(updates, args["updates"])]
    reply = conn.engine.update_blocks(args["page_id"], updates)
    return {**reply, "notes": notes} if notes else reply


def page_rename(conn: Connection, tool: str, args: dict[str, Any]) -> dict[str, Any]:
    return conn.engine.rename_page(args["page_id"], args["title"])


def page_delete(conn: Connection, tool: str, args: dict[str, Any]) -> dict[str, Any]:
    return conn.engine.delete_page(args["page_id"])


