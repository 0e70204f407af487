"""The handler of each catalogue tool the reference server runs, one module per
tool family, each handler a few lines that call the engine and the core. Copy
them, and `HANDLERS`, into a host of your own."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from kelvo_mcp.server.connection import Connection
from kelvo_mcp.server.handlers import canvas, docs, pages
from kelvo_mcp.server.handlers.canvas import unserved

__all__ = ["HANDLERS", "Handler", "unserved"]

Handler = Callable[[Connection, str, dict[str, Any]], dict[str, Any]]

HANDLERS: dict[str, Handler] = {
    "kelvo_docs_refresh": docs.docs_refresh, "kelvo_doc_list": docs.doc_list, "kelvo_doc_get": docs.doc_get,
    "kelvo_doc_save": docs.doc_save, "kelvo_doc_delete": docs.doc_delete, "kelvo_learn": docs.learn,
    "kelvo_page_list": pages.page_list, "kelvo_page_get": pages.page_get, "kelvo_page_create": pages.page_create,
    "kelvo_page_append": pages.page_append, "kelvo_page_update": pages.page_update,
    "kelvo_page_rename": pages.page_rename, "kelvo_page_delete": pages.page_delete,
    "kelvo_status": canvas.status, "kelvo_canvas_list": canvas.canvas_list,
    "kelvo_canvas_current": canvas.canvas_current, "kelvo_canvas_use": canvas.canvas_use,
}
