"""A walkthrough of one connection, driving the six compiled modules the way
the host server does, against an in-memory docs canvas. Its tool calls go
through the reference MCP server (`kelvo_mcp.server`) with the MCP SDK's
in-process client, so they are real protocol traffic.

    python -m kelvo_mcp.demo                      # the built-in sample canvas, compact profile
    python -m kelvo_mcp.demo --profile full       # "full", "lean" or "compact"
    python -m kelvo_mcp.demo --canvas my.json     # a docs canvas of your own
    python -m kelvo_mcp.demo --json               # the same walkthrough as one JSON object

A canvas file is a JSON object:

    {"canvas": "agent_docs",                        # optional, the docs canvas name
     "identity": {"role": ..., "scopes": [...],     # optional, what whoami answers
                  "capabilities": [...]},
     "pages": [page, ...]}

and each page one of

    {"doc": {"name": ..., "kind": "doc"|"skill"|"learnings", "pinned": bool,
             "when_to_use": ..., "approval": "approved"|"changed"|"none"|null},
     "body": "Markdown", "title": ..., "page_id": ..., "updated_at": ...}
    {"seed": "kelvo-first"|"agent-memory-guide", ...}   # a built-in doc as seeded
    {"title": ..., "body": "Markdown"}                  # an ordinary page (or "blocks": [...])

(`kelvo_mcp.engine.canvas.load_canvas` reads this format; a state file of the
reference server is one too, its pages given as "blocks" with an "approval".)

An absent "approval" means the user has not approved the doc ("none"); null
means the engine does not report approvals for that page.
"""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import anyio
import httpx
from mcp import Client
from mcp_types import CallToolRequestParams

from kelvo_mcp import explain, instructions, lexicon, refresh, surfaces
from kelvo_mcp.engine.api import CanvasError
from kelvo_mcp.engine.canvas import SAMPLE_CANVAS, load_canvas, seed_engine
from kelvo_mcp.engine.embedded import EmbeddedEngine
from kelvo_mcp.runtime import ToolInputError
from kelvo_mcp.server.connection import Connection, open_connection
from kelvo_mcp.server.mcp_adapter import make_server
from kelvo_mcp.tools import _BY_NAME

__all__ = ["CanvasError", "load_canvas", "main", "seed_engine", "walkthrough"]

# The walkthrough's wall clock (2025-03-17T09:00:00Z), so its output never changes.
START = 1742202000.0


class Clock:
    """The walkthrough's clock: it moves only when told to."""

    def __init__(self, now: float) -> None:
        self.now = now

    def __call__(self) -> float:
        return self.now


def surface_call(conn: Connection, tool: str, args: dict[str, Any]) -> tuple[str, dict[str, Any]]:
    """How an agent calls a catalogue tool on this surface: through its family
    with an op when the surface folds it, else by its own name."""
    for st in conn.surface:
        for op, member in st.ops.items():
            if member == tool:
                return st.name, {"op": op, **args}
    return tool, dict(args)



def normalise_block(block: dict[str, Any]) -> dict[str, Any]:
    """A block as the page tools accept it: its type a current or legacy type,
    reached through the aliases, or the fallback."""
    kind = str(block.get("block_type") or "paragraph")
    if kind not in lexicon.BLOCK_TYPES:
        kind = lexicon.BLOCK_TYPE_ALIASES.get(kind, lexicon.BLOCK_TYPE_FALLBACK)
    return {**block, "block_type": kind}



# -- the walkthrough ---------------------------------------------------------------

def walkthrough(data: dict[str, Any], profile: str) -> dict[str, Any]:
    clock = Clock(START)
    engine = seed_engine(data, wall_clock=clock)
    config = refresh.DocsConfig(enabled=True, canvas=engine.canvas, calls=4)
    conn = open_connection(engine, profile, config=config, clock=clock, wall_clock=clock)

    out: dict[str, Any] = {"profile": profile, "canvas": engine.canvas, "pages": len(engine.pages)}
    out["capabilities"] = {
        "banner": conn.caps.banner(), "key": conn.caps.key, "absent": sorted(conn.caps.absent),
        # The identity call, and the probe when the engine declared no capabilities.
        "engine_calls": [f"{call}()" if call == "whoami" else f"{call}(limit=1)"
                         for call, arg in engine.calls if call == "whoami" or (call, arg) == ("list_pages", 1)],
    }
    out["surface"] = {
        "tools": [{"name": st.name, "ops": list(st.ops), "writes": st.writes} for st in conn.surface],
        "alias_lines": surfaces.alias_lines(conn.surface),
    }
    paras = instructions.paragraphs()
    out["instructions"] = {"paragraphs_available": len(paras), "text": conn.instructions,
                           "mentions": sorted(instructions.mentions(conn.instructions))}
    docs = conn.docs or []
    out["registry"] = {
        "docs": [{"name": d.name, "kind": d.kind, "title": d.title, "page_id": d.page_id,
                  "pinned": d.pinned, "approval": d.approval,
                  "instruction": refresh.is_instruction(d), "builtin_seed": refresh.is_builtin_seed(d)}
                 for d in docs],
        "notes": conn.notes,
        "approvals_reported": refresh.approvals_reported(docs),
        # Over the docs an agent is shown: a built-in seed never counts.
        "instructions_version": refresh.instructions_version(refresh.visible_docs(docs)),
    }
    out["handshake"] = conn.handshake

    # An agent at work: the calls it makes, expressed in catalogue terms and
    # sent the way this surface takes them.
    plain = next((p for p in engine.pages
                  if not any(refresh.parse_sentinel(b.get("text")) for b in p.blocks[:1])), None)
    page_id = plain.page_id if plain else (engine.pages[0].page_id if engine.pages else "pg_0001")
    block_id = str(plain.blocks[-1].get("block_id")) if plain and plain.blocks else "b1"
    instruction_docs = [d for d in docs if refresh.is_instruction(d)]
    requested = [d for d in docs if refresh.requests_authority(d) and not refresh.is_instruction(d)]
    doc_name = instruction_docs[-1].name if instruction_docs else (docs[0].name if docs else "release-checklist")
    steps: list[tuple[str, str, dict[str, Any]]] = [
        ("", "kelvo_page_list", {"limit": 5}),
        ("", "kelvo_doc_get", {"name": doc_name}),
        ("", "kelvo_page_get", {"page_id": page_id}),
        ("", "kelvo_page_list", {"limit": 3}),
        ("approve", "kelvo_page_list", {}),
        ("write-timeout", "kelvo_page_update",
         {"page_id": page_id, "updates": [{"block_id": block_id, "block_type": "h2", "text": "Sprint 42 goals"}]}),
        ("", "kelvo_page_get", {"page_id": "pg_gone"}),
        ("later", "kelvo_doc_get", {"name": requested[0].name if requested else doc_name}),
    ]
    out["session"], calls = anyio.run(calls_through_server, conn, steps, requested)
    # The digest rides on every reply; keep it once, as the agent last saw it.
    out["digest"] = None
    for record in calls:
        out["digest"] = record["reply"].pop("standing_docs", out["digest"])
    out["calls"] = calls

    out["family_calls"] = family_calls(conn, page_id)
    out["vocabulary"] = vocabulary()
    out["failures"] = failures(engine)
    return out


async def calls_through_server(conn: Connection, steps: list[tuple[str, str, dict[str, Any]]],
                               requested: list[refresh.DocInfo]) -> tuple[dict[str, Any], list[dict[str, Any]]]:
    """The agent's calls as an MCP client sends them to the reference server,
    with what happens on the engine and the clock in between."""
    engine = conn.engine
    assert isinstance(engine, EmbeddedEngine)
    clock = engine.wall_clock
    assert isinstance(clock, Clock)
    calls: list[dict[str, Any]] = []
    async with Client(make_server(conn), mode="legacy") as client:
        session = {"protocol_version": client.protocol_version,
                   "server": f"{client.server_info.name} {client.server_info.version}" if client.server_info else "",
                   "instructions_chars": len(client.instructions or ""),
                   "instructions_are_the_connection_text": client.instructions == conn.server_instructions}
        for event, tool, args in steps:
            happened = None
            if event == "approve":
                if requested:
                    engine.approve(requested[0].page_id)
                    happened = f"the user approves {requested[0].name!r} in the Kelvo app"
                engine.fail_next("list_pages", httpx.ConnectTimeout)
            elif event == "write-timeout":
                engine.fail_next("update_blocks", httpx.ReadTimeout)
            elif event == "later":
                clock.now += refresh.RETRY_SECONDS + 1
                happened = f"{refresh.RETRY_SECONDS + 1:g} seconds pass"
            name, call_args = surface_call(conn, tool, args)
            sent = CallToolRequestParams(name=name, arguments=call_args)
            result = await client.call_tool(name, call_args)
            record = conn.agent.history[-1]
            calls.append({"call": explain.call(name, **call_args), "event": happened,
                          "sent": {"method": "tools/call",
                                   "params": sent.model_dump(mode="json", by_alias=True, exclude_none=True)},
                          "ran": record.ran, "digest": record.digest, "is_error": result.is_error,
                          "error_text": result.content[0].text if result.is_error and result.content
                          and result.content[0].type == "text" else None,
                          "reply": result.structured_content})
    return session, calls


def family_calls(conn: Connection, page_id: str) -> list[dict[str, Any]]:
    """Calls resolved on this surface: a family call with a sibling op's
    argument, the grammar op, and refused ones with their messages."""
    attempts: list[tuple[str, dict[str, Any]]]
    fam = next((st for st in conn.surface if st.name == "kelvo_page_read"), None) \
        or next((st for st in conn.surface if st.is_family), None)
    if fam is not None:
        op = "get" if "get" in fam.ops else next(iter(fam.ops))
        member = fam.ops[op]
        required = _BY_NAME[member].input_schema.get("required", [])
        args = {k: page_id if k == "page_id" else "x" for k in required}
        attempts = [(fam.name, {"op": op, **args, "limit": 5}),
                    (fam.name, {"op": "grammar"}),
                    (member, args),
                    (fam.name, {"op": op.upper(), **args})]
    else:
        attempts = [("kelvo_page_get", {"page_id": page_id}),
                    ("kelvo_page_read", {"op": "get", "page_id": page_id}),
                    ("kelvo_no_such_tool", {})]
    out = []
    for name, args in attempts:
        entry: dict[str, Any] = {"call": explain.call(name, **args)}
        try:
            tool, tool_args = surfaces.resolve_call(conn.surface, name, args)
        except ToolInputError as exc:
            entry["refused"] = str(exc)
        else:
            entry["resolved"] = {"tool": tool, "args": tool_args}
            entry["ignored"] = surfaces.ignored_args(conn.surface, name, args)
        out.append(entry)
    return out


def failures(engine: EmbeddedEngine) -> dict[str, str]:
    """Engine failures worded for the agent: a status error whose body leaks
    a key and a URL, a time-out of a read, and a missing doc."""
    req = engine.request("POST", "/pages")
    resp = httpx.Response(422, request=req, json={"detail": [
        {"loc": ["body", "blocks", 0, "block_type"], "msg": "unknown block type 'diagramm'"},
        {"loc": ["body", "icon"], "msg": "at most 8 UTF-16 units"},
        {"loc": ["body"], "msg": "rejected with Bearer kelvo_sk_live_4f9a2 see https://status.kelvo.example/x"},
    ]})
    status = httpx.HTTPStatusError("Client error '422 Unprocessable Entity'", request=req, response=resp)
    gone = httpx.Response(503, request=req, text="upstream unavailable")
    outage = httpx.HTTPStatusError("Server error '503 Service Unavailable'", request=req, response=gone)
    read = httpx.ReadTimeout("timed out", request=engine.request("POST", "/answer"))
    return {
        "http_422": explain.http_failure("kelvo_page_create", status, writes=True),
        "http_503_write": explain.http_failure("kelvo_page_create", outage, writes=True),
        "read_timeout": explain.timeout("kelvo_answer", read, writes=False, budget_class="retrieval",
                                        budget_env="KELVO_ANSWER_TIMEOUT"),
        "not_found": explain.not_found("page", "pg_gone", "work", ["it was deleted"],
                                       explain.call("kelvo_page_list", canvas="work")),
    }


def vocabulary() -> dict[str, Any]:
    """What the page tools make of the block types and icons agents send."""
    return {
        "block_types": {kind: normalise_block({"block_type": kind})["block_type"]
                        for kind in ("h2", "bullet_list", "todo_done", "heading", "diagramm")},
        "icons": {icon: {"ok": lexicon.icon_ok(icon), "utf16_units": lexicon.utf16_len(icon)}
                  for icon in ("🚀", " 📝 ", "👩‍💻", "🚀🚀🚀🚀🚀", "")},
    }


# -- output ------------------------------------------------------------------------

def _section(title: str) -> None:
    print(f"\n== {title} " + "=" * max(3, 72 - len(title)))


def _indent(text: str, prefix: str = "  ") -> str:
    return "\n".join(prefix + line if line else "" for line in text.splitlines())


def print_text(out: dict[str, Any]) -> None:
    print(f"Kelvo MCP walkthrough: profile {out['profile']!r}, docs canvas {out['canvas']!r} "
          f"({out['pages']} pages)")

    caps = out["capabilities"]
    _section("Capabilities")
    print(f"  {caps['banner']}")
    print(f"  engine calls: {', '.join(caps['engine_calls'])}")
    print(f"  key: {json.dumps(caps['key'], ensure_ascii=False)}")
    print(f"  hidden tools: {', '.join(caps['absent']) if caps['absent'] else 'none'}")

    surface = out["surface"]
    _section(f"Surface ({out['profile']})")
    for st in surface["tools"]:
        ops = f"  op: {', '.join(st['ops'])}" if st["ops"] else ""
        print(f"  {st['name']}{' (writes)' if st['writes'] else ''}{ops}")
    print(f"  {len(surface['tools'])} tools")
    if surface["alias_lines"]:
        print("  aliases:")
        for line in surface["alias_lines"].split("; "):
            print(f"    {line}")

    ins = out["instructions"]
    _section("Server instructions")
    print(_indent(ins["text"]))
    print(f"  ({len(ins['text'])} characters; names: {', '.join(ins['mentions'])})")

    reg = out["registry"]
    _section("Registry")
    for d in reg["docs"]:
        flags = [d["kind"], d["approval"]]
        if d["pinned"]:
            flags.append("pinned")
        if d["instruction"]:
            flags.append("INSTRUCTION")
        if d["builtin_seed"]:
            flags.append("built-in seed, hidden")
        print(f"  {d['name']:<22} {d['page_id']:<9} {', '.join(flags)}")
    for key, note in reg["notes"].items():
        print(f"  note {key}: {note}")
    print(f"  approvals reported: {reg['approvals_reported']}; instructions_version {reg['instructions_version']}")

    _section("Handshake")
    print(_indent(out["handshake"]))

    _section("Tool calls")
    session = out["session"]
    print(f"  MCP session with {session['server']} (in-process), protocol {session['protocol_version']}; "
          f"the initialize result carries the server instructions and the handshake "
          f"({session['instructions_chars']} characters)")
    for i, call in enumerate(out["calls"], start=1):
        if call["event"]:
            print(f"  -- {call['event']}")
        print(f"  {i}. {call['call']}")
        print(f"     sent: {json.dumps(call['sent'], ensure_ascii=False)}")
        print(f"     runs {call['ran'] or '(refused)'}; digest: {call['digest']}")
        if call["is_error"]:
            print(f"     received, isError: {call['error_text']}")
        rest = {k: v for k, v in call["reply"].items() if not (call["is_error"] and k == "error")}
        if rest:
            print(f"     received: {json.dumps(rest, ensure_ascii=False)}")
    print("  standing_docs, the digest on every reply:")
    print(_indent(json.dumps(out["digest"], ensure_ascii=False, indent=2), "    "))

    _section("Family calls")
    for entry in out["family_calls"]:
        print(f"  {entry['call']}")
        if "refused" in entry:
            print(f"    refused: {entry['refused']}")
        else:
            res = entry["resolved"]
            print(f"    resolved: {res['tool']} {json.dumps(res['args'], ensure_ascii=False)}")
            if entry["ignored"]:
                print(f"    ignored by this op: {', '.join(entry['ignored'])}")

    _section("Page vocabulary")
    vocab = out["vocabulary"]
    print("  block types: " + ", ".join(f"{k} -> {v}" for k, v in vocab["block_types"].items()))
    print("  icons: " + ", ".join(f"{k!r} {'ok' if v['ok'] else 'refused'} ({v['utf16_units']} UTF-16 units)"
                                  for k, v in vocab["icons"].items()))

    _section("Engine failures explained")
    for key, text in out["failures"].items():
        print(f"  {key}: {text}")


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m kelvo_mcp.demo",
                                     description="Walk through one connection of the Kelvo MCP server.")
    parser.add_argument("--profile", choices=surfaces.PROFILES, default="compact",
                        help="the tool surface to offer (default: compact)")
    parser.add_argument("--canvas", type=Path, metavar="FILE",
                        help="a JSON file describing a docs canvas (default: the built-in sample)")
    parser.add_argument("--json", action="store_true", help="print the walkthrough as one JSON object")
    ns = parser.parse_args(argv)
    try:
        data = load_canvas(ns.canvas or SAMPLE_CANVAS)
    except CanvasError as e:
        parser.error(str(e))  # exits with status 2
    out = walkthrough(data, ns.profile)
    if ns.json:
        json.dump(out, sys.stdout, ensure_ascii=False, indent=2)
        print()
    else:
        print_text(out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
