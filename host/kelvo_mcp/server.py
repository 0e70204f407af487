"""The reference MCP host: the six compiled modules serving a real MCP session
on the official Python SDK, against the embedded engine.

    python -m kelvo_mcp.server                          # compact profile, the sample canvas, stdio
    python -m kelvo_mcp.server --profile full           # "full", "lean" or "compact"
    python -m kelvo_mcp.server --canvas my.json         # seed the engine from a canvas file
    python -m kelvo_mcp.server --state state.json       # keep the canvas between runs
    python -m kelvo_mcp.server --readonly               # a key that may not write

One process serves one connection over stdin and stdout. The connection is
opened once (`open_connection`): what the engine serves, the surface for the
profile, the server instructions for that surface followed by the handshake
text. Each tool call (`handle_call`) ticks the refresh timer and rebuilds the
digest when it is due, resolves the call on the surface, runs the catalogue
tool's handler against the engine and passes the reply through the guidance
respelling. Everything a client can send that the server cannot honour comes
back as a tool result with `isError` set, worded by the core; nothing a
client sends ends the session.

The handlers are grouped by tool family, each a few lines that call the
engine and the core; copy them, and the `HANDLERS` table, into a host of your
own.
"""

from __future__ import annotations

import argparse
import datetime
import json
import logging
import sys
import time
from collections import deque
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import anyio
import anyio.to_thread
import httpx
import jsonschema  # type: ignore[import-untyped]  # no typed release is pinned
import mcp_types as types
from mcp.server import Server
from mcp.server.stdio import stdio_server

from kelvo_mcp import capabilities, explain, instructions, lexicon, refresh, surfaces
from kelvo_mcp.engine import ENGINE_URL, CanvasError, EmbeddedEngine, load_canvas, seed_engine
from kelvo_mcp.runtime import ToolInputError
from kelvo_mcp.tools import _BY_NAME

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

    engine: EmbeddedEngine
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

    @property
    def offered(self) -> set[str]:
        """The catalogue tools this connection runs."""
        return {name for tool in self.surface for name in tool.members}

    @property
    def server_instructions(self) -> str:
        """The instructions of the initialize result: the rendered server
        instructions, a blank line, the handshake text."""
        return f"{self.instructions}\n\n{self.handshake}"


def open_connection(engine: EmbeddedEngine, profile: str = "compact", *, readonly: bool = False,
                    config: refresh.DocsConfig | None = None, clock: Callable[[], float] = time.monotonic,
                    wall_clock: Callable[[], float] | None = None) -> Connection:
    """Connection start: what the engine serves, the surface, the server
    instructions for it, the registry and the handshake text. `clock` runs the
    refresh timer; `wall_clock` (the engine's by default) dates digests and
    learnings."""
    config = config or refresh.DocsConfig(enabled=True, canvas=engine.canvas)
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


def refresh_digest(conn: Connection) -> str:
    """Rebuild the digest when the timer says it is due; what happened, in words."""
    if not conn.caps.pages:
        return "off (no docs on an engine without pages)"
    if not conn.timer.tick():
        return "not due"
    try:
        docs, notes = refresh.derive_registry(conn.engine, budget_seconds=refresh.DIGEST_BUILD_BUDGET_SECONDS)
    except httpx.TimeoutException as exc:
        conn.timer.failed()
        return (f"due, but the rescan timed out in the {explain.timeout_phase(exc)} phase; "
                f"due again in {refresh.RETRY_SECONDS:g} s")
    except Exception as exc:  # an engine error or a fault of this host: the call itself still runs
        if not isinstance(exc, httpx.HTTPStatusError):
            log.exception("the digest rescan failed")
        conn.timer.failed()
        why = f"HTTP {exc.response.status_code}" if isinstance(exc, httpx.HTTPStatusError) else type(exc).__name__
        return f"due, but the rescan failed with {why}; due again in {refresh.RETRY_SECONDS:g} s"
    conn.docs, conn.notes = docs, notes
    extra = {"registry": "; ".join(f"{k}: {v}" for k, v in notes.items())} if notes else None
    conn.digest = refresh.build_digest(docs, cap_chars=conn.config.digest_chars, now=conn.wall_clock(),
                                       extra=extra)
    conn.digest_builds += 1
    conn.timer.fired()
    version = conn.digest["instructions_version"] if conn.digest else None
    return f"rebuilt (instructions_version {version})"


def handle_call(conn: Connection, name: str, args: dict[str, Any]) -> Reply:
    """One tool call as the host serves it: the digest first, then the call
    resolved on the surface, run, its failures worded, its guidance respelled."""
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
    if conn.digest is not None:
        body["standing_docs"] = conn.digest
    body = surfaces.respell_guidance(body, conn.display)
    if refused is not None:
        body["error"] = refused
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
    except Exception as exc:  # a fault of this host: the session goes on
        log.exception("%s failed", tool)
        return {"error": f"{tool} failed inside the server ({type(exc).__name__}); "
                         "the call was not completed. Report this to the server's maintainers."}


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

def registry(conn: Connection) -> list[refresh.DocInfo]:
    docs, _ = refresh.derive_registry(conn.engine)
    return docs


def check_doc_name(tool: str, name: str) -> None:
    if not refresh.valid_name(name):
        raise ToolInputError(f"{tool}: {_quote(name)} is not a doc name: a lowercase letter or digit, "
                             f"then up to {refresh.MAX_DOC_NAME - 1} of a-z 0-9 . _ -.")


def find_doc(conn: Connection, tool: str, name: str) -> refresh.DocInfo:
    check_doc_name(tool, name)
    for d in registry(conn):
        if d.name == name:
            return d
    raise Missing("doc", name, ["the name is misspelled", "the doc was deleted"], surface_call(conn, "kelvo_doc_list"))


def docs_refresh(conn: Connection, tool: str, args: dict[str, Any]) -> dict[str, Any]:
    docs, notes = refresh.derive_registry(conn.engine)
    reply: dict[str, Any] = {"text": refresh.handshake_text(docs, display=conn.display)}
    if notes:
        reply["note"] = "; ".join(f"{k}: {v}" for k, v in notes.items())
    return reply


def doc_list(conn: Connection, tool: str, args: dict[str, Any]) -> dict[str, Any]:
    kind = args.get("kind")
    return {"docs": [{"name": d.name, "kind": d.kind, "title": d.title, "page_id": d.page_id,
                      "pinned": d.pinned, "approval": d.approval, "instruction": refresh.is_instruction(d)}
                     for d in registry(conn) if kind is None or d.kind in (kind, kind + "s")]}


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
    old = next((d for d in registry(conn) if d.name == name), None)
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
    doc = next((d for d in registry(conn) if d.kind == "learnings"), None)
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
    return {"engine": ENGINE_URL, "canvas": conn.engine.canvas, "capabilities": caps.banner(),
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


def open_engine(canvas: Path | None, state: Path | None) -> EmbeddedEngine:
    """The engine, from the state file when it exists, else seeded from the
    canvas file; with a state file, every write is kept in it."""
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


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m kelvo_mcp.server",
                                     description="Serve the Kelvo MCP tools over stdio on the embedded engine.")
    parser.add_argument("--profile", choices=surfaces.PROFILES, default="compact",
                        help="the tool surface to offer (default: compact)")
    parser.add_argument("--canvas", type=Path, metavar="FILE",
                        help="a JSON file describing the docs canvas to seed (default: the built-in sample)")
    parser.add_argument("--state", type=Path, metavar="FILE",
                        help="keep the canvas in this JSON file between runs (missing: start from the canvas file)")
    parser.add_argument("--readonly", action="store_true", help="offer no tool that writes")
    ns = parser.parse_args(argv)
    try:
        engine = open_engine(ns.canvas, ns.state)
    except CanvasError as e:
        parser.error(str(e))  # exits with status 2
    logging.basicConfig(stream=sys.stderr, level=logging.WARNING)
    conn = open_connection(engine, ns.profile, readonly=ns.readonly)
    anyio.run(serve_stdio, make_server(conn))
    return 0


if __name__ == "__main__":
    sys.exit(main())
