"""One tool call as the host serves it: the pipeline a host copies.

`handle_call` ticks the refresh timer and rebuilds the digest when it is due,
resolves the call on the surface, runs the catalogue tool's handler against
the engine and passes the reply through the guidance respelling. Everything a
client can send that the server cannot honour, and every engine failure, comes
back as a reply carrying an "error" sentence worded by the core (or, for an
engine that cannot be reached, by `unreachable`); nothing a client sends ends
the connection.
"""

from __future__ import annotations

import logging
from dataclasses import dataclass
from typing import Any

import httpx

from kelvo_mcp import explain, refresh, surfaces
from kelvo_mcp.runtime import ToolInputError
from kelvo_mcp.server.checks import check_args
from kelvo_mcp.server.connection import CallRecord, Connection, Missing, surface_call
from kelvo_mcp.server.handlers import HANDLERS, unserved
from kelvo_mcp.tools import _BY_NAME

log = logging.getLogger("kelvo_mcp.server")


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


