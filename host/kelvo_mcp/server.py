"""The reference MCP host: the six compiled modules serving real MCP sessions
on the official Python SDK, against the embedded engine or an engine over HTTP.

    python -m kelvo_mcp.server                          # compact profile, the sample canvas, stdio
    python -m kelvo_mcp.server --profile full           # "full", "lean" or "compact"
    python -m kelvo_mcp.server --canvas my.json         # seed the engine from a canvas file
    python -m kelvo_mcp.server --state state.json       # keep the canvas between runs in a JSON file
    python -m kelvo_mcp.server --store canvas.db        # ... or in a SQLite store other servers share
    python -m kelvo_mcp.server --engine URL             # the engine served at URL (python -m kelvo_mcp.engine)
    python -m kelvo_mcp.server --readonly               # a key that may not write
    python -m kelvo_mcp.server --http 127.0.0.1:8765    # many sessions over streamable HTTP at /mcp
    python -m kelvo_mcp.server --http 0.0.0.0:8765 --token-file token   # beyond loopback: a bearer token

Over stdio one process serves one connection. Over HTTP each session gets its
own connection (`SessionHost`, `make_http_server` below). A connection is
opened once (`open_connection`): what the engine serves, the surface for the
profile, the server instructions for that surface followed by the handshake
text. Each tool call (`handle_call`) ticks the refresh timer and rebuilds the
digest when it is due (over HTTP, in the background), resolves the call on
the surface, runs the catalogue tool's handler against the engine and passes
the reply through the guidance respelling. Everything a client can send that
the server cannot honour, and every engine failure, comes back as a tool
result with `isError` set, worded by the core (or, for an engine that cannot
be reached, by `unreachable`); nothing a client sends ends the session.

The handlers are grouped by tool family, each a few lines that call the
engine and the core; copy them, and the `HANDLERS` table, into a host of your
own.
"""

from __future__ import annotations

import argparse
import contextlib
import datetime
import functools
import hmac
import ipaddress
import json
import logging
import socket
import sys
import threading
import time
from collections import deque
from collections.abc import AsyncIterator, Awaitable, Callable, Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

import anyio
import anyio.abc
import anyio.to_thread
import httpx
import jsonschema  # type: ignore[import-untyped]  # no typed release is pinned
import mcp_types as types
import uvicorn
from mcp.server import Server
from mcp.server.stdio import stdio_server
from mcp.server.streamable_http_manager import StreamableHTTPASGIApp, StreamableHTTPSessionManager
from mcp.server.transport_security import TransportSecurityMiddleware, TransportSecuritySettings
from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import JSONResponse
from starlette.routing import Route
from starlette.types import ASGIApp, Receive, Scope, Send

from kelvo_mcp import capabilities, explain, instructions, lexicon, refresh, surfaces
from kelvo_mcp.engine import (ENGINE_URL, TIMEOUTS, CanvasError, EmbeddedEngine, load_canvas, open_store_engine,
                              seed_engine)
from kelvo_mcp.runtime import ToolInputError
from kelvo_mcp.tools import _BY_NAME

if TYPE_CHECKING:
    from kelvo_mcp.engine_client import HttpEngine

SERVER_NAME = "kelvo-mcp"
SERVER_VERSION = "0.1.0"
SAMPLE_CANVAS = Path(__file__).with_name("demo_canvas.json")
# The longest argument text a refusal quotes back.
_QUOTE_MAX = 60

log = logging.getLogger("kelvo_mcp.server")


# -- the connection -------------------------------------------------------------------

@dataclass
class CallRecord:
    """What one tool call did, kept for the walkthrough and the tests."""

    name: str
    ran: str
    digest: str


@dataclass
class Connection:
    """What the host keeps for one connection."""

    engine: EmbeddedEngine | HttpEngine
    profile: str
    config: refresh.DocsConfig
    caps: capabilities.Capabilities
    surface: list[surfaces.SurfaceTool]
    display: Callable[[str], str]
    instructions: str
    docs: list[refresh.DocInfo] | None
    notes: dict[str, str]
    handshake: str
    timer: refresh.RefreshState
    wall_clock: Callable[[], float]
    readonly: bool = False
    digest: dict[str, Any] | None = None
    digest_builds: int = 0
    history: deque[CallRecord] = field(default_factory=lambda: deque(maxlen=64))
    # What the rescan that ended last did, in words.
    last_rescan: str = ""
    # Guards what calls and rescans of this connection share across threads:
    # docs, notes, digest, digest_builds, history, last_rescan.
    lock: threading.Lock = field(default_factory=threading.Lock, repr=False, compare=False)

    @property
    def offered(self) -> set[str]:
        """The catalogue tools this connection runs."""
        return {name for tool in self.surface for name in tool.members}

    @property
    def server_instructions(self) -> str:
        """The instructions of the initialize result: the rendered server
        instructions, a blank line, the handshake text."""
        return f"{self.instructions}\n\n{self.handshake}"


def open_connection(engine: EmbeddedEngine | HttpEngine, profile: str = "compact", *, readonly: bool = False,
                    config: refresh.DocsConfig | None = None, clock: Callable[[], float] = time.monotonic,
                    wall_clock: Callable[[], float] | None = None) -> Connection:
    """Connection start: what the engine serves, the surface, the server
    instructions for it, the registry and the handshake text. `clock` runs the
    refresh timer; `wall_clock` (the engine's by default) dates digests and
    learnings."""
    if config is None:
        try:
            canvas = engine.canvas  # an engine over HTTP asks for it at first use
        except httpx.HTTPError:
            canvas = refresh.DEFAULT_DOCS_CANVAS
        config = refresh.DocsConfig(enabled=True, canvas=canvas)
    caps = capabilities.resolve(engine)
    surface = surfaces.build_surface(profile, readonly=readonly, absent=caps.absent)
    display = surfaces.display_name(surface)
    # Paragraphs are chosen by catalogue names, so a family counts through its members.
    visible = [name for tool in surface for name in tool.members]
    text = instructions.render(visible, display=display, profile=profile,
                               rewrites=instructions.COMPACT_REWRITES if profile == "compact" else ())
    docs: list[refresh.DocInfo] | None = None
    notes: dict[str, str] = {}
    error = None
    if caps.pages:
        try:
            docs, notes = refresh.derive_registry(engine)
        except httpx.HTTPError as exc:
            error = type(exc).__name__
    else:
        error = "this engine serves no pages"
    handshake = refresh.handshake_text(docs, error=error, display=display)
    timer = refresh.RefreshState(config.calls, config.minutes, clock)
    return Connection(engine, profile, config, caps, surface, display, text, docs, notes, handshake,
                      timer, wall_clock or engine.wall_clock, readonly)


# -- one tool call ----------------------------------------------------------------------

class Missing(Exception):
    """A handler found no object by the name or id it was given."""

    def __init__(self, kind: str, ident: str, causes: list[str], next_call: str) -> None:
        super().__init__(kind, ident)
        self.kind, self.ident, self.causes, self.next_call = kind, ident, causes, next_call


@dataclass
class Reply:
    """A tool call's outcome: the reply map the agent reads, and the error
    text when the call failed."""

    body: dict[str, Any]
    error: str | None
    ran: str
    digest: str


NO_PAGES = "off (no docs on an engine without pages)"


def refresh_digest(conn: Connection) -> str:
    """Rebuild the digest when the timer says it is due; what happened, in words."""
    if not conn.caps.pages:
        return NO_PAGES
    if not conn.timer.tick():
        return "not due"
    return rebuild_digest(conn)


def rebuild_digest(conn: Connection) -> str:
    """The rescan a tick announced: the registry read again within the digest's
    time budget, the digest built from it and published under the
    connection's lock, then the timer told (`fired` or `failed`). Never
    raises: a failure leaves the digest as it was and is due again later."""
    try:
        docs, notes = refresh.derive_registry(conn.engine, budget_seconds=refresh.DIGEST_BUILD_BUDGET_SECONDS)
        extra = {"registry": "; ".join(f"{k}: {v}" for k, v in notes.items())} if notes else None
        digest = refresh.build_digest(docs, cap_chars=conn.config.digest_chars, now=conn.wall_clock(), extra=extra)
    except httpx.TimeoutException as exc:
        conn.timer.failed()
        outcome = (f"due, but the rescan timed out in the {explain.timeout_phase(exc)} phase; "
                   f"due again in {refresh.RETRY_SECONDS:g} s")
    except Exception as exc:  # an engine error or a fault of this host: the call itself still runs
        if not isinstance(exc, httpx.HTTPError):
            log.exception("the digest rescan failed")
        conn.timer.failed()
        why = f"HTTP {exc.response.status_code}" if isinstance(exc, httpx.HTTPStatusError) else type(exc).__name__
        outcome = f"due, but the rescan failed with {why}; due again in {refresh.RETRY_SECONDS:g} s"
    else:
        with conn.lock:
            conn.docs, conn.notes, conn.digest = docs, notes, digest
            conn.digest_builds += 1
        conn.timer.fired()
        outcome = f"rebuilt (instructions_version {digest['instructions_version'] if digest else None})"
    with conn.lock:
        conn.last_rescan = outcome
    return outcome


def handle_call(conn: Connection, name: str, args: dict[str, Any], *, digest: str | None = None) -> Reply:
    """One tool call as the host serves it: the digest first, then the call
    resolved on the surface, run, its failures worded, its guidance respelled.
    `digest` says what the caller already did about the digest (a rescan
    started in the background); without it a due rescan runs here, first."""
    if digest is None:
        digest = refresh_digest(conn)
    tool = ""
    refused = None
    body: dict[str, Any]
    try:
        tool, tool_args = surfaces.resolve_call(conn.surface, name, args)
        ignored = surfaces.ignored_args(conn.surface, name, args)
    except ToolInputError as exc:
        # Worded for this surface already: the message goes out exactly as raised.
        refused = str(exc)
        body = {"error": refused}
    else:
        body = run_tool(conn, tool, {k: v for k, v in tool_args.items() if k not in ignored})
        if ignored:
            body["notes"] = [*body.get("notes", []), f"ignored by op={args.get('op')!r}: {', '.join(ignored)}"]
    with conn.lock:
        standing = conn.digest
    if standing is not None:
        body["standing_docs"] = standing
    body = surfaces.respell_guidance(body, conn.display)
    if refused is not None:
        body["error"] = refused
    with conn.lock:
        conn.history.append(CallRecord(name, tool, digest))
    error = body.get("error")
    return Reply(body, error if isinstance(error, str) else None, tool, digest)


def run_tool(conn: Connection, tool: str, args: dict[str, Any]) -> dict[str, Any]:
    """Run a resolved call; every failure a client or the engine can cause
    comes back as {"error": sentence}."""
    writes = tool in _BY_NAME and _BY_NAME[tool].writes
    try:
        if tool == "__grammar__":
            return {"text": surfaces.PAGE_GRAMMAR}
        if tool not in conn.offered:
            # The surface resolves a hidden catalogue tool to itself; this connection does not run it.
            why = "this engine serves no pages" if tool in conn.caps.absent else "the key is read-only"
            raise ToolInputError(f"{tool} is not offered on this connection: {why}.")
        check_args(tool, args)
        conn.engine.check_canvas(args.get("canvas"))
        return HANDLERS.get(tool, unserved)(conn, tool, args)
    except ToolInputError as exc:
        return {"error": str(exc)}
    except Missing as exc:
        return {"error": explain.not_found(exc.kind, exc.ident, conn.engine.canvas, exc.causes, exc.next_call)}
    except httpx.HTTPStatusError as exc:
        return {"error": explain.http_failure(tool, exc, writes=writes, canvas=args.get("canvas"))}
    except httpx.TimeoutException as exc:
        read_call = surface_call(conn, "kelvo_page_get", page_id=args["page_id"]) if "page_id" in args else None
        return {"error": explain.timeout(tool, exc, writes=writes, canvas=args.get("canvas"), read_call=read_call)}
    except httpx.TransportError as exc:
        return {"error": unreachable(conn, tool, exc, writes=writes, args=args)}
    except Exception as exc:  # a fault of this host: the session goes on
        log.exception("%s failed", tool)
        return {"error": f"{tool} failed inside the server ({type(exc).__name__}); "
                         "the call was not completed. Report this to the server's maintainers."}


def unreachable(conn: Connection, tool: str, exc: httpx.TransportError, *, writes: bool,
                args: dict[str, Any]) -> str:
    """An engine that could not be reached, or whose connection broke before it
    answered, in one sentence: whether anything can have changed, and what to
    do next. Only the error's kind is quoted, never its text (it can carry the
    engine's address)."""
    kind = type(exc).__name__
    if isinstance(exc, httpx.ConnectError):
        return (f"{tool}: the Kelvo engine could not be reached ({kind}); nothing was sent, so nothing "
                "changed. Try the call again in a moment.")
    head = f"{tool}: the connection to the Kelvo engine broke before it answered ({kind});"
    if not writes:
        return f"{head} nothing was changed. Try the call again in a moment."
    if "page_id" in args:
        check = surface_call(conn, "kelvo_page_get", page_id=args["page_id"])
    elif tool.startswith("kelvo_doc") or tool == "kelvo_learn":
        check = surface_call(conn, "kelvo_doc_list")
    else:
        check = surface_call(conn, "kelvo_page_list")
    return f"{head} the change may or may not have been made. Check with {check} before sending it again."


def surface_call(conn: Connection, tool: str, **args: Any) -> str:
    """A catalogue call rendered the way this surface takes it, for the next
    call a message suggests: `kelvo_page_read(op='get', page_id='p1')` where
    the surface folds `kelvo_page_get` into its family."""
    for st in conn.surface:
        for op, member in st.ops.items():
            if member == tool:
                return explain.call(st.name, op=op, **args)
    return explain.call(tool, **args)


# -- arguments -----------------------------------------------------------------------------

_VALIDATORS: dict[str, Any] = {
    name: jsonschema.Draft202012Validator(tool.input_schema) for name, tool in _BY_NAME.items()}


def check_args(tool: str, args: dict[str, Any]) -> None:
    """Refuse arguments that do not fit the catalogue tool's input schema, in
    one sentence that never echoes a long argument."""
    validator = _VALIDATORS.get(tool)
    err = jsonschema.exceptions.best_match(validator.iter_errors(args)) if validator else None
    if err is None:
        return
    where = "/".join(map(str, err.absolute_path))
    what = f"{where} " if where else ""
    rule, value = err.validator, err.validator_value
    if rule == "required":
        missing = [k for k in value if isinstance(err.instance, dict) and k not in err.instance]
        text = f"requires {', '.join(missing)}"
    elif rule == "additionalProperties":
        extra = sorted(k for k in err.instance if k not in err.schema.get("properties", {}))
        text = f"does not take {', '.join(_quote(k) for k in extra[:5])}{' …' if len(extra) > 5 else ''}"
    elif rule == "type":
        text = f"{what}must be of type {value}"
    elif rule == "enum":
        text = f"{what}must be one of {', '.join(map(repr, value))}"
    else:
        text = f"{what}must satisfy {rule} {json.dumps(value)}"
    raise ToolInputError(f"{tool}: {text}.")


def _quote(text: str) -> str:
    return repr(text if len(text) <= _QUOTE_MAX else text[:_QUOTE_MAX] + "…")


def checked_blocks(tool: str, blocks: list[dict[str, Any]], key: str = "blocks",
                   partial: bool = False) -> tuple[list[dict[str, Any]], list[str]]:
    """Blocks as the page tools accept them: a current block type, reached
    through the aliases, or the fallback type with a note; text as text. Ids
    and order are the engine's to assign. `partial` blocks (updates) keep
    out what they do not name."""
    out, notes = [], []
    for i, block in enumerate(blocks):
        fixed = {k: v for k, v in block.items() if k not in ("block_id", "order")}
        if not isinstance(fixed.get("text", ""), str):
            raise ToolInputError(f"{tool}: {key}[{i}].text must be a string.")
        kind = fixed.get("block_type", None if partial else "paragraph")
        if kind is not None and not isinstance(kind, str):
            raise ToolInputError(f"{tool}: {key}[{i}].block_type must be a string.")
        if kind is not None and kind not in lexicon.BLOCK_TYPES:
            current = lexicon.BLOCK_TYPE_ALIASES.get(kind.strip().lower(), lexicon.BLOCK_TYPE_FALLBACK)
            if current == lexicon.BLOCK_TYPE_FALLBACK:
                notes.append(f"{key}[{i}]: unknown block type {_quote(kind)}, written as "
                             f"{lexicon.BLOCK_TYPE_FALLBACK!r}; check it with kelvo_page_get")
            kind = current
        if kind is not None:
            fixed["block_type"] = kind
        if not partial:
            fixed.setdefault("text", "")
        out.append(fixed)
    return out, notes


# -- handlers: docs ---------------------------------------------------------------------
#
# Docs live on the docs canvas as pages whose first block is the doc marker;
# the registry scan reads them, the engine's approval state decides which act.

def check_doc_name(tool: str, name: str) -> None:
    if not refresh.valid_name(name):
        raise ToolInputError(f"{tool}: {_quote(name)} is not a doc name: a lowercase letter or digit, "
                             f"then up to {refresh.MAX_DOC_NAME - 1} of a-z 0-9 . _ -.")


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
    old = doc_named(conn, name)
    kind = args.get("kind") or (old.kind if old else "doc")
    marker = refresh.make_sentinel(name, kind, old.when_to_use if old else "", old.pinned if old else False)
    blocks: list[dict[str, Any]] = [{"block_type": "paragraph", "text": marker},
                                    *map(dict, refresh.markdown_to_blocks(body))]
    if old is not None:
        page_id = conn.engine.write_blocks(old.page_id, blocks)["page_id"]
    else:
        page_id = conn.engine.create_page(name, blocks)["page_id"]
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
    doc = next((d for d in all_docs(conn) if d.kind == "learnings"), None)
    if doc is not None:
        page_id = conn.engine.append_blocks(doc.page_id, [line])["page_id"]
    else:
        marker = {"block_type": "paragraph", "text": refresh.make_sentinel("learnings", "learnings")}
        page_id = conn.engine.create_page("Learnings", [marker, line])["page_id"]
    return {"page_id": page_id, "learned": line["text"]}


# -- handlers: pages ---------------------------------------------------------------------

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


# -- handlers: the connection and its canvases -----------------------------------------------

def status(conn: Connection, tool: str, args: dict[str, Any]) -> dict[str, Any]:
    caps = conn.caps
    return {"engine": getattr(conn.engine, "base_url", ENGINE_URL), "canvas": conn.engine.canvas, "capabilities": caps.banner(),
            "role": caps.role, "scopes": list(caps.scopes), "profile": conn.profile}


def canvas_list(conn: Connection, tool: str, args: dict[str, Any]) -> dict[str, Any]:
    return conn.engine.list_canvases()


def canvas_current(conn: Connection, tool: str, args: dict[str, Any]) -> dict[str, Any]:
    return {"canvas": conn.engine.canvas, "canvas_id": f"cv_{conn.engine.canvas}"}


def canvas_use(conn: Connection, tool: str, args: dict[str, Any]) -> dict[str, Any]:
    conn.engine.check_canvas(args["target"])
    return {"canvas_handle": f"cv_{conn.engine.canvas}", "name": conn.engine.canvas}


def unserved(conn: Connection, tool: str, args: dict[str, Any]) -> dict[str, Any]:
    """Every other catalogue tool: the engine's own refusal, which the caller words."""
    conn.engine.refuse(tool.removeprefix("kelvo_"))
    raise AssertionError("unreachable: the engine refuses")


Handler = Callable[[Connection, str, dict[str, Any]], dict[str, Any]]

HANDLERS: dict[str, Handler] = {
    "kelvo_docs_refresh": docs_refresh, "kelvo_doc_list": doc_list, "kelvo_doc_get": doc_get,
    "kelvo_doc_save": doc_save, "kelvo_doc_delete": doc_delete, "kelvo_learn": learn,
    "kelvo_page_list": page_list, "kelvo_page_get": page_get, "kelvo_page_create": page_create,
    "kelvo_page_append": page_append, "kelvo_page_update": page_update, "kelvo_page_rename": page_rename,
    "kelvo_page_delete": page_delete,
    "kelvo_status": status, "kelvo_canvas_list": canvas_list, "kelvo_canvas_current": canvas_current,
    "kelvo_canvas_use": canvas_use,
}


# -- the MCP server ---------------------------------------------------------------------------

def mcp_tools(conn: Connection) -> list[types.Tool]:
    """One MCP tool per surface tool, in surface order, exactly as built."""
    return [types.Tool(name=st.name, title=st.title, description=st.description, input_schema=st.input_schema,
                       annotations=types.ToolAnnotations.model_validate(st.annotations))
            for st in conn.surface]


def call_result(reply: Reply) -> types.CallToolResult:
    """A reply as an MCP tool result: the reply map as structured content and
    as JSON text; a failure's text is its sentence alone, with whatever else
    the reply carries (the digest, notes) in a second text block."""
    content: list[types.ContentBlock]
    if reply.error is None:
        content = [types.TextContent(text=json.dumps(reply.body, ensure_ascii=False))]
    else:
        content = [types.TextContent(text=reply.error)]
        rest = {k: v for k, v in reply.body.items() if k != "error"}
        if rest:
            content.append(types.TextContent(text=json.dumps(rest, ensure_ascii=False)))
    return types.CallToolResult(content=content, structured_content=reply.body, is_error=reply.error is not None)


def make_server(conn: Connection) -> Server[Any]:
    """The MCP server of one connection."""
    tools = mcp_tools(conn)

    async def list_tools(ctx: Any, params: types.PaginatedRequestParams | None) -> types.ListToolsResult:
        return types.ListToolsResult(tools=tools)

    async def call_tool(ctx: Any, params: types.CallToolRequestParams) -> types.CallToolResult:
        # The engine client blocks; handlers run on worker threads, one call each.
        reply = await anyio.to_thread.run_sync(handle_call, conn, params.name, params.arguments or {})
        return call_result(reply)

    return Server(SERVER_NAME, version=SERVER_VERSION, instructions=conn.server_instructions,
                  on_list_tools=list_tools, on_call_tool=call_tool)


def open_engine(canvas: Path | None, state: Path | None, store: Path | None = None,
                engine_url: str | None = None, read_timeout: float | None = None) -> Any:
    """The engine the server runs on:

    - `engine_url`: an engine served over HTTP (`python -m kelvo_mcp.engine`),
      reached with `HttpEngine`; `read_timeout` replaces the read phase's budget;
    - `store`: the embedded engine on that SQLite store, which other servers
      may share; a new store is filled once from `state` when that file
      exists, else from `canvas`;
    - otherwise the embedded engine in memory, from the state file when it
      exists, else seeded from the canvas file; with a state file, every
      write is kept in it.
    """
    if engine_url is not None:
        from kelvo_mcp.engine_client import HttpEngine

        timeouts = dict(TIMEOUTS, **({"read": read_timeout} if read_timeout is not None else {}))
        return HttpEngine(engine_url, timeouts=timeouts)
    if store is not None:
        return open_store_engine(store, canvas=canvas, state=state)
    if state is not None and state.exists():
        engine = seed_engine(load_canvas(state, "state file"))
    else:
        engine = seed_engine(load_canvas(canvas or SAMPLE_CANVAS))
    if state is not None:
        engine.state_file = state
        try:
            engine.save_state()
        except OSError as e:
            raise CanvasError(f"cannot write state file {state}: {e.strerror or e}") from None
    return engine


async def serve_stdio(server: Server[Any]) -> None:
    async with stdio_server() as (read, write):
        await server.run(read, write, server.create_initialization_options())


# -- many sessions over streamable HTTP ----------------------------------------------------
#
# One process, many sessions: the SDK's session manager runs one server loop
# per session, and each session gets its own `Connection` (surface, name map,
# refresh timer, digest), opened when its initialize arrives and kept in the
# SDK's per-connection state. Everything that calls the engine runs on worker
# threads under the host's own limiter, so the event loop only moves messages:
# connection start, each tool call, and the digest rescans, which run in the
# background while the call that found them due answers with the digest it has.

ENGINE_THREADS = 16
_STATE_KEY = "kelvo.connection"
_TOOLS_KEY = "kelvo.tools"
LOOPBACK_HOSTS = ("127.0.0.1", "localhost", "[::1]")


class SessionHost:
    """What the sessions of one HTTP server share: the engine, the settings
    each connection is opened with, the limiter of engine calls, and the task
    group the rescans run in."""

    def __init__(self, engine: Any, profile: str = "compact", *, readonly: bool = False,
                 config: refresh.DocsConfig | None = None, engine_threads: int = ENGINE_THREADS) -> None:
        self.engine, self.profile, self.readonly, self.config = engine, profile, readonly, config
        self.engine_threads = engine_threads
        self.limiter: anyio.CapacityLimiter | None = None
        self.rescans: anyio.CapacityLimiter | None = None
        self._tasks: anyio.abc.TaskGroup | None = None
        self._shared: Connection | None = None
        self.opened = 0  # connections opened so far

    @contextlib.asynccontextmanager
    async def run(self) -> AsyncIterator[None]:
        """Serve: engine calls get their own limiter, apart from the default
        thread pool; background rescans get a smaller one of their own, so
        that many sessions coming due at once never hold up the calls. They
        run in a task group that ends with the server."""
        self.limiter = anyio.CapacityLimiter(self.engine_threads)
        self.rescans = anyio.CapacityLimiter(max(1, self.engine_threads // 4))
        async with anyio.create_task_group() as tg:
            self._tasks = tg
            try:
                yield
            finally:
                self._tasks = None
                tg.cancel_scope.cancel()

    async def in_engine_thread(self, fn: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
        """`fn` on a worker thread, counted against the engine limiter."""
        return await anyio.to_thread.run_sync(functools.partial(fn, *args, **kwargs), limiter=self.limiter)

    async def rescan(self, conn: Connection) -> None:
        await anyio.to_thread.run_sync(rebuild_digest, conn, limiter=self.rescans)

    async def open(self) -> Connection:
        """Connection start, off the event loop: capabilities, surface,
        instructions, the registry scan and the handshake; the first digest
        is built from that scan, so the first call already carries it."""
        self.opened += 1
        return await self.in_engine_thread(self._open)  # type: ignore[no-any-return]

    def _open(self) -> Connection:
        conn = open_connection(self.engine, self.profile, readonly=self.readonly, config=self.config)
        if conn.docs is not None and conn.timer.tick():
            extra = {"registry": "; ".join(f"{k}: {v}" for k, v in conn.notes.items())} if conn.notes else None
            conn.digest = refresh.build_digest(conn.docs, cap_chars=conn.config.digest_chars, now=conn.wall_clock(),
                                               extra=extra)
            conn.digest_builds += 1
            conn.timer.fired()
        return conn

    async def shared(self) -> Connection:
        """The connection of requests that come without a session (a client
        of the protocol's single-exchange era): one for them all."""
        if self._shared is None:
            conn = await self.open()
            self._shared = self._shared or conn
        return self._shared

    def start_rescan(self, conn: Connection) -> str | None:
        """Tick the connection's timer; when a rescan is due, start it in the
        background and say so. Runs on the event loop. None when not serving
        (no task group to run it in): the call then ticks and rescans itself."""
        if self._tasks is None:
            return None
        if not conn.caps.pages:
            return NO_PAGES
        if not conn.timer.tick():
            return "not due"
        self._tasks.start_soon(self.rescan, conn)
        return "due; rescanning in the background"

    async def call(self, conn: Connection, name: str, args: dict[str, Any]) -> Reply:
        digest = self.start_rescan(conn)
        return await self.in_engine_thread(handle_call, conn, name, args, digest=digest)  # type: ignore[no-any-return]


def _session_state(ctx: Any) -> dict[str, Any] | None:
    """The SDK's per-connection scratch map of the session a request came on.
    The request context reaches the connection only through its session,
    which keeps it private."""
    connection = getattr(ctx.session, "_connection", None)
    state = getattr(connection, "state", None)
    return state if isinstance(state, dict) else None


def make_http_server(host: SessionHost) -> Server[Any]:
    """The MCP server of a multi-session process: every session's initialize
    opens its own connection (the initialize result carries that connection's
    instructions and handshake); its tool calls run on it. Requests without a
    session (the protocol's single-exchange era: `server/discover`, then
    calls) share one connection."""

    async def session_of(ctx: Any) -> tuple[Connection, list[types.Tool]]:
        state = _session_state(ctx)
        if state is not None and _STATE_KEY in state:
            return state[_STATE_KEY], state[_TOOLS_KEY]
        conn = await host.shared()
        return conn, mcp_tools(conn)

    async def open_session(ctx: Any, call_next: Callable[[Any], Awaitable[Any]]) -> Any:
        if ctx.method == "initialize":
            conn = await host.open()
            state = _session_state(ctx)
            if state is not None:
                state[_STATE_KEY], state[_TOOLS_KEY] = conn, mcp_tools(conn)
        elif ctx.method == "server/discover":  # the single-exchange era's handshake
            conn = await host.shared()
        else:
            return await call_next(ctx)
        result = await call_next(ctx)
        if isinstance(result, dict):
            result = {**result, "instructions": conn.server_instructions}
        return result

    async def list_tools(ctx: Any, params: types.PaginatedRequestParams | None) -> types.ListToolsResult:
        _, tools = await session_of(ctx)
        return types.ListToolsResult(tools=tools)

    async def call_tool(ctx: Any, params: types.CallToolRequestParams) -> types.CallToolResult:
        conn, _ = await session_of(ctx)
        return call_result(await host.call(conn, params.name, params.arguments or {}))

    server: Server[Any] = Server(SERVER_NAME, version=SERVER_VERSION, on_list_tools=list_tools,
                                 on_call_tool=call_tool)
    server.middleware.append(open_session)
    return server


def is_loopback(host: str) -> bool:
    if host.strip("[]") == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


def security_settings(bind: str, allow_hosts: Sequence[str] = (),
                      allow_origins: Sequence[str] = ()) -> TransportSecuritySettings:
    """The Host and Origin headers a request may carry (DNS-rebinding
    protection): the loopback names, the address bound (unless a wildcard)
    and the names given, each with any port; origins of those hosts over
    http and https, and the origins given."""
    names = list(LOOPBACK_HOSTS)
    bound = f"[{bind}]" if ":" in bind and not bind.startswith("[") else bind
    if bound not in ("0.0.0.0", "[::]", *names):
        names.append(bound)
    names += [h for h in allow_hosts if h not in names]
    hosts = [*names, *(f"{h}:*" for h in names)]
    origins = [f"{scheme}://{h}{port}" for h in names for scheme in ("http", "https") for port in ("", ":*")]
    return TransportSecuritySettings(enable_dns_rebinding_protection=True, allowed_hosts=hosts,
                                     allowed_origins=[*origins, *allow_origins])


class Gate:
    """Checks a request before anything of the server sees it: the Host and
    Origin headers against the allow-list (421 or 403), then, when a token is
    set, the bearer token (401). A refused request opens no session and runs
    nothing."""

    def __init__(self, app: ASGIApp, security: TransportSecuritySettings, token: str | None) -> None:
        self.app, self.token = app, token
        self.checks = TransportSecurityMiddleware(security)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] == "http":
            request = Request(scope)
            refused = await self.checks.validate_request(request)
            if refused is None and self.token is not None and not self.authorized(request):
                refused = JSONResponse({"error": "invalid_token", "error_description": "a bearer token is required"},
                                       status_code=401, headers={"WWW-Authenticate": 'Bearer realm="kelvo-mcp"'})
            if refused is not None:
                await refused(scope, receive, send)
                return
        await self.app(scope, receive, send)

    def authorized(self, request: Request) -> bool:
        scheme, _, given = request.headers.get("authorization", "").partition(" ")
        assert self.token is not None
        return scheme.lower() == "bearer" and hmac.compare_digest(given.strip().encode(), self.token.encode())


def http_app(host: SessionHost, *, security: TransportSecuritySettings, token: str | None = None,
             path: str = "/mcp") -> ASGIApp:
    """The ASGI application: the gate, then the SDK's session manager at `path`."""
    manager = StreamableHTTPSessionManager(app=make_http_server(host), security_settings=security)

    @contextlib.asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        async with host.run(), manager.run():
            yield

    app = Starlette(routes=[Route(path, endpoint=StreamableHTTPASGIApp(manager))], lifespan=lifespan)
    return Gate(app, security, token)


class _Uvicorn(uvicorn.Server):
    """uvicorn, saying on stderr where it serves once it accepts requests."""

    async def startup(self, sockets: list[socket.socket] | None = None) -> None:
        await super().startup(sockets)
        if self.started and sockets:
            host, port = sockets[0].getsockname()[:2]
            host = f"[{host}]" if ":" in host else host
            print(f"kelvo-mcp: serving MCP over streamable HTTP at http://{host}:{port}/mcp",
                  file=sys.stderr, flush=True)


def serve_http(app: ASGIApp, sock: socket.socket) -> None:
    server = _Uvicorn(uvicorn.Config(app, log_level="warning", lifespan="on", timeout_graceful_shutdown=2))
    anyio.run(server.serve, [sock])


def bind_socket(address: str) -> socket.socket:
    """A listening socket for HOST:PORT, or PORT on 127.0.0.1 (port 0: any free port)."""
    host, _, port = address.rpartition(":")
    if not port.isdigit() or int(port) > 65535:
        raise ValueError(f"--http wants HOST:PORT or PORT, not {address!r}")
    host = host.strip("[]") or "127.0.0.1"
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        sock.bind((host, int(port)))
    except OSError as e:
        sock.close()
        raise ValueError(f"cannot listen on {address}: {e.strerror or e}") from None
    sock.listen(2048)
    return sock


def read_token(path: Path) -> str:
    try:
        token = path.read_text(encoding="utf-8").strip()
    except (OSError, UnicodeDecodeError) as e:
        raise ValueError(f"cannot read token file {path}: {getattr(e, 'strerror', None) or e}") from None
    if not token or any(c.isspace() for c in token):
        raise ValueError(f"token file {path} must hold one token: a single line without spaces")
    return token


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m kelvo_mcp.server",
                                     description="Serve the Kelvo MCP tools over stdio (one session) or over "
                                                 "streamable HTTP (many sessions).")
    parser.add_argument("--profile", choices=surfaces.PROFILES, default="compact",
                        help="the tool surface to offer (default: compact)")
    parser.add_argument("--canvas", type=Path, metavar="FILE",
                        help="a JSON file describing the docs canvas to seed (default: the built-in sample)")
    parser.add_argument("--state", type=Path, metavar="FILE",
                        help="keep the canvas in this JSON file between runs (missing: start from the canvas file)")
    parser.add_argument("--store", type=Path, metavar="FILE",
                        help="keep the canvas in this SQLite store, which other servers may share; a new store "
                             "is filled once from the --state file when it exists, else from the canvas file")
    parser.add_argument("--engine", metavar="URL",
                        help="use the engine served over HTTP at URL (python -m kelvo_mcp.engine) "
                             "instead of an embedded one")
    parser.add_argument("--engine-read-timeout", type=float, metavar="SECONDS",
                        help=f"with --engine: how long to wait for a reply (default {TIMEOUTS['read']:g})")
    parser.add_argument("--readonly", action="store_true", help="offer no tool that writes")
    parser.add_argument("--http", metavar="HOST:PORT",
                        help="serve MCP over streamable HTTP at http://HOST:PORT/mcp, many sessions at once "
                             "(PORT alone: on 127.0.0.1; port 0: any free port); without it, one session over stdio")
    parser.add_argument("--token-file", type=Path, metavar="FILE",
                        help="with --http: require 'Authorization: Bearer <the token in FILE>' "
                             "(required when HOST is not a loopback address)")
    parser.add_argument("--allow-host", action="append", default=[], metavar="NAME",
                        help="with --http: a further Host header name to accept (any port); repeatable")
    parser.add_argument("--allow-origin", action="append", default=[], metavar="ORIGIN",
                        help="with --http: a further Origin to accept, e.g. https://app.example; repeatable")
    parser.add_argument("--engine-threads", type=int, default=ENGINE_THREADS, metavar="N",
                        help=f"with --http: engine calls in flight at once (default: {ENGINE_THREADS})")
    ns = parser.parse_args(argv)
    if ns.http is None and (ns.token_file or ns.allow_host or ns.allow_origin):
        parser.error("--token-file, --allow-host and --allow-origin go with --http")
    if ns.engine_threads < 1:
        parser.error("--engine-threads must be at least 1")
    if ns.http is not None and ns.token_file is None and not is_loopback(ns.http.rpartition(":")[0] or "127.0.0.1"):
        parser.error(f"--http {ns.http} listens beyond loopback: give --token-file FILE")
    if ns.engine is not None and (ns.store or ns.state or ns.canvas):
        parser.error("--engine uses the engine's own canvas: --store, --state and --canvas go without it")
    if ns.engine_read_timeout is not None and (ns.engine is None or not ns.engine_read_timeout > 0):
        parser.error("--engine-read-timeout wants --engine and a number of seconds above 0")
    try:
        engine = open_engine(ns.canvas, ns.state, ns.store, ns.engine, ns.engine_read_timeout)
    except CanvasError as e:
        parser.error(str(e))  # exits with status 2
    logging.basicConfig(stream=sys.stderr, level=logging.WARNING)
    try:
        serve(parser, ns, engine)
    finally:
        if hasattr(engine, "close"):
            engine.close()
    return 0


def serve(parser: argparse.ArgumentParser, ns: argparse.Namespace, engine: Any) -> None:
    if ns.http is None:
        conn = open_connection(engine, ns.profile, readonly=ns.readonly)
        anyio.run(serve_stdio, make_server(conn))
        return
    try:
        token = read_token(ns.token_file) if ns.token_file else None
        sock = bind_socket(ns.http)
    except ValueError as e:
        parser.error(str(e))
    bound = sock.getsockname()[0]
    host = SessionHost(engine, ns.profile, readonly=ns.readonly, engine_threads=ns.engine_threads)
    security = security_settings(bound, ns.allow_host, ns.allow_origin)
    serve_http(http_app(host, security=security, token=token), sock)


if __name__ == "__main__":
    sys.exit(main())
