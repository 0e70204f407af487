"""One tool call as the host serves it: the pipeline a host copies.

`handle_call` ticks the agent's refresh timer and brings its digest up to date
when it is due (from the connection's latest rescan, or by starting one),
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
from kelvo_mcp.server.connection import (Agent, CallRecord, Connection, Missing, engine_generation, next_generation,
                                         registry_notes, surface_call)
from kelvo_mcp.server.handlers import HANDLERS, unserved
from kelvo_mcp.server.handlers.canvas import agent_status
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
TAKEN = "due; took the connection's latest digest"
JOINED = "due; the shared rescan under way brings it"
RESCAN = "due; rescan"


def digest_due(conn: Connection, agent: Agent) -> str:
    """Tick the agent's timer; when it is due, bring the agent's digest up to
    date without the engine where the connection can: the connection's
    registry is newer than the agent's digest (another agent's rescan, or a
    record new to this process) and the agent takes it; a rescan is under way
    and the agent waits for it. Otherwise the answer is RESCAN: the caller
    runs `rebuild_digest`, the connection's one rescan, which the agent waits
    for too. Cheap: it may run on the event loop."""
    if not conn.caps.pages:
        return NO_PAGES
    if not agent.timer.tick():
        return "not due"
    with conn.lock:
        if conn.generation > agent.generation:
            agent.digest, agent.generation = conn.digest, conn.generation
        else:
            conn.waiting.append(agent)
            if conn.rescanning:
                return JOINED
            conn.rescanning = True
            return RESCAN
    agent.timer.fired()
    return TAKEN


def refresh_digest(conn: Connection, agent: Agent) -> str:
    """The digest step of a call served without a background: a rescan that
    falls due runs here, first. What happened, in words."""
    step = digest_due(conn, agent)
    return rebuild_digest(conn) if step == RESCAN else step


def rebuild_digest(conn: Connection, budget: float | None = refresh.DIGEST_BUILD_BUDGET_SECONDS) -> str:
    """The connection's rescan: the registry read again within `budget`
    seconds (the digest's time budget; None for a connection-start scan,
    whose result feeds a new agent's handshake) and the digest built from it,
    published under the connection's lock with a new generation (the
    handshake re-rendered when the approved instructions changed), then
    handed to every agent waiting for it, whose timers are told (`fired` or
    `failed`). The store generation is read before the scan; a scan that
    ran to the end is stamped with it, and one older than what the
    connection holds is not published. Never raises: a failure leaves
    everything as it was, and the waiting agents due again later."""
    ok = False
    store_generation, started = engine_generation(conn.engine), conn.clock()
    try:
        docs, notes = refresh.derive_registry(conn.engine, budget_seconds=budget)
        digest = refresh.build_digest(docs, cap_chars=conn.config.digest_chars, now=conn.wall_clock(),
                                      extra=registry_notes(notes))
        version = refresh.instructions_version(docs)
        handshake = refresh.handshake_text(docs, display=conn.display) if version != conn.version else None
    except httpx.TimeoutException as exc:
        outcome = (f"due, but the rescan timed out in the {explain.timeout_phase(exc)} phase; "
                   f"due again in {refresh.RETRY_SECONDS:g} s")
    except Exception as exc:  # an engine error or a fault of this host: the call itself still runs
        if not isinstance(exc, httpx.HTTPError):
            log.exception("the digest rescan failed")
        why = f"HTTP {exc.response.status_code}" if isinstance(exc, httpx.HTTPStatusError) else type(exc).__name__
        outcome = f"due, but the rescan failed with {why}; due again in {refresh.RETRY_SECONDS:g} s"
    else:
        ok = True
        outcome = f"rebuilt (instructions_version {digest['instructions_version'] if digest else None})"
    with conn.lock:
        held = conn.store_generation
        waiting_ok = ok
        if ok and store_generation is not None and held is not None and store_generation < held:
            # Another scan (a new agent's) read the store later and published first: keep it.
            ok, outcome = False, "due; a later scan of the store was published meanwhile"
            for agent in conn.waiting:
                agent.digest, agent.generation = conn.digest, conn.generation
        if ok:
            conn.docs, conn.notes, conn.digest, conn.generation = docs, notes, digest, next_generation()
            if "budget" not in notes:  # a whole scan: the store as it was at its start
                conn.store_generation, conn.scanned_at = store_generation, started
            if handshake is not None:
                conn.handshake, conn.version = handshake, version
            conn.rescans += 1
            conn.last_rescan_at = conn.wall_clock()
        conn.last_rescan = outcome
        waiting, conn.waiting, conn.rescanning = conn.waiting, [], False
        for agent in waiting:
            if ok:
                agent.digest, agent.generation = conn.digest, conn.generation
    for agent in waiting:
        agent.timer.fired() if waiting_ok else agent.timer.failed()
    return outcome


def handle_call(conn: Connection, name: str, args: dict[str, Any], *, agent: Agent | None = None,
                digest: str | None = None) -> Reply:
    """One tool call as the host serves it, for one agent of the connection
    (the connection's own by default): the digest first, then the call
    resolved on the surface, run, its failures worded, its guidance respelled.
    `digest` says what the caller already did about the digest (a rescan
    started in the background); without it a due rescan runs here, first."""
    agent = agent or conn.agent
    with conn.lock:
        if agent.calls == 0:
            conn.agents += 1
        agent.calls += 1
        agent.last_seen = conn.clock()
    if digest is None:
        digest = refresh_digest(conn, agent)
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
        if tool == "kelvo_status" and "error" not in body:
            body.update(agent_status(conn, agent))
    with conn.lock:
        standing = agent.digest
    if standing is not None:
        body["standing_docs"] = standing
    body = surfaces.respell_guidance(body, conn.display)
    if refused is not None:
        body["error"] = refused
    with conn.lock:
        agent.history.append(CallRecord(name, tool, digest))
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


