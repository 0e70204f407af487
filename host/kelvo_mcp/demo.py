"""A walkthrough of one connection, driving the six compiled modules the way
the host server does, against an in-memory docs canvas.

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

An absent "approval" means the user has not approved the doc ("none"); null
means the engine does not report approvals for that page.
"""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import httpx

from kelvo_mcp import capabilities, explain, instructions, lexicon, refresh, surfaces
from kelvo_mcp.engine import InMemoryEngine, PageNotFound
from kelvo_mcp.runtime import ToolInputError
from kelvo_mcp.tools import _BY_NAME

SAMPLE_CANVAS = Path(__file__).with_name("demo_canvas.json")
ENGINE_URL = "https://engine.kelvo.example/v1"
# The host's HTTP time-outs, in seconds per phase; httpx carries them on each request.
TIMEOUTS = {"connect": 5.0, "read": 30.0, "write": 30.0, "pool": 5.0}
# The walkthrough's wall clock (2025-03-17T09:00:00Z), so its output never changes.
START = 1742202000.0


class CanvasError(Exception):
    """The canvas file cannot be used; the message says why."""


# -- the engine -----------------------------------------------------------------

class DemoEngine(InMemoryEngine):
    """The in-memory docs canvas behind an HTTP-shaped client: a missing page
    is the engine's 404 and an injected fault is an httpx time-out, each
    carrying a real request, as the host's own client would raise them."""

    def __init__(self, canvas: str, identity: dict[str, Any]) -> None:
        super().__init__()
        self.canvas = canvas
        self.identity = identity
        self.faults: dict[str, type[httpx.TimeoutException]] = {}

    def request(self, method: str, path: str) -> httpx.Request:
        return httpx.Request(method, f"{ENGINE_URL}/canvases/{self.canvas}{path}",
                             extensions={"timeout": dict(TIMEOUTS)})

    def fail_next(self, call: str, kind: type[httpx.TimeoutException]) -> None:
        self.faults[call] = kind

    def _fault(self, call: str, method: str, path: str) -> None:
        kind = self.faults.pop(call, None)
        if kind is not None:
            self.calls.append((call, "timed out"))
            raise kind("timed out", request=self.request(method, path))

    def whoami(self) -> dict[str, Any]:
        self.calls.append(("whoami", None))
        return dict(self.identity)

    def list_pages(self, limit: int = 50) -> dict[str, Any]:
        self._fault("list_pages", "GET", "/pages")
        return super().list_pages(limit)

    def get_page(self, page_id: str) -> dict[str, Any]:
        self._fault("get_page", "GET", f"/pages/{page_id}")
        try:
            return super().get_page(page_id)
        except PageNotFound:
            req = self.request("GET", f"/pages/{page_id}")
            resp = httpx.Response(404, json={"detail": "Not Found"}, request=req)
            raise httpx.HTTPStatusError(f"Client error '404 Not Found' for url '{req.url}'",
                                        request=req, response=resp) from None

    def update_blocks(self, page_id: str, updates: list[dict[str, Any]]) -> dict[str, Any]:
        self._fault("update_blocks", "PATCH", f"/pages/{page_id}/blocks")
        return {"page_id": page_id, "updated": len(updates)}


# -- the canvas file -------------------------------------------------------------

def load_canvas(path: Path) -> dict[str, Any]:
    try:
        text = path.read_text(encoding="utf-8")
    except OSError as e:
        raise CanvasError(f"cannot read canvas file {path}: {e.strerror or e}") from None
    except UnicodeDecodeError:
        raise CanvasError(f"canvas file {path} is not UTF-8 text") from None
    try:
        data = json.loads(text)
    except json.JSONDecodeError as e:
        raise CanvasError(f"canvas file {path} is not valid JSON: {e.msg} "
                          f"(line {e.lineno}, column {e.colno})") from None
    _check_canvas(data, path)
    assert isinstance(data, dict)
    return data


def _check_canvas(data: object, path: Path) -> None:
    def bad(where: str, what: str) -> CanvasError:
        return CanvasError(f"canvas file {path}: {where} {what}")

    if not isinstance(data, dict):
        raise bad("the top level", "must be a JSON object")
    if not isinstance(data.get("canvas", ""), str):
        raise bad('"canvas"', "must be a string")
    if not isinstance(data.get("identity", {}), dict):
        raise bad('"identity"', "must be an object")
    pages = data.get("pages")
    if not isinstance(pages, list):
        raise bad('"pages"', "must be a list of pages")
    for i, page in enumerate(pages):
        where = f"pages[{i}]"
        if not isinstance(page, dict):
            raise bad(where, "must be an object")
        for key in ("page_id", "title", "body"):
            if not isinstance(page.get(key, ""), str):
                raise bad(f"{where}.{key}", "must be a string")
        if "blocks" in page and not (isinstance(page["blocks"], list)
                                     and all(isinstance(b, dict) for b in page["blocks"])):
            raise bad(f"{where}.blocks", "must be a list of block objects")
        seed = page.get("seed")
        if seed is not None and seed not in (refresh.KELVO_FIRST_NAME, refresh.GUIDE_DOC_NAME):
            raise bad(f"{where}.seed", f"must be {refresh.KELVO_FIRST_NAME!r} or {refresh.GUIDE_DOC_NAME!r}")
        doc = page.get("doc")
        if doc is None:
            continue
        if not isinstance(doc, dict):
            raise bad(f"{where}.doc", "must be an object")
        name = doc.get("name")
        if not isinstance(name, str) or not refresh.valid_name(name):
            raise bad(f"{where}.doc.name", "must be a doc name (lowercase letters, digits, '.', '_', '-')")
        if doc.get("kind", "doc") not in refresh.DOC_KINDS:
            raise bad(f"{where}.doc.kind", f"must be one of {', '.join(refresh.DOC_KINDS)}")
        if doc.get("approval", "none") not in (refresh.APPROVED, refresh.CHANGED, refresh.NONE, None):
            raise bad(f"{where}.doc.approval", 'must be "approved", "changed", "none" or null')


def seed_engine(data: dict[str, Any]) -> DemoEngine:
    """The docs canvas of a canvas file, as pages on the in-memory engine."""
    engine = DemoEngine(data.get("canvas") or refresh.DEFAULT_DOCS_CANVAS, data.get("identity", {}))
    for page in data["pages"]:
        where: dict[str, Any] = {"page_id": page.get("page_id"),
                                 "updated_at": page.get("updated_at")}
        seed = page.get("seed")
        doc = page.get("doc")
        if seed == refresh.KELVO_FIRST_NAME:
            # The posture doc exactly as it was seeded onto canvases.
            engine.add_doc(refresh.KELVO_FIRST_NAME, refresh.KELVO_FIRST_SEEDED_BODIES[0], kind="doc",
                           pinned=True, when_to_use=refresh.KELVO_FIRST_WHEN,
                           approval=page.get("approval", refresh.APPROVED), title=page.get("title"), **where)
        elif seed == refresh.GUIDE_DOC_NAME:
            engine.add_doc(refresh.GUIDE_DOC_NAME, refresh.GUIDE_DOC_BODY, kind="doc",
                           when_to_use=refresh.GUIDE_DOC_WHEN,
                           approval=page.get("approval", refresh.NONE), title=page.get("title"), **where)
        elif doc is not None:
            engine.add_doc(doc["name"], page.get("body", ""), kind=doc.get("kind", "doc"),
                           pinned=bool(doc.get("pinned", False)), when_to_use=doc.get("when_to_use", ""),
                           approval=doc.get("approval", refresh.NONE), title=page.get("title"), **where)
        else:
            blocks = page.get("blocks")
            if blocks is None:
                blocks = [{**b, "order": i} for i, b in enumerate(refresh.markdown_to_blocks(page.get("body", "")))]
            engine.add_page(page.get("title", ""), blocks, **where)
    return engine


# -- the host --------------------------------------------------------------------

class Clock:
    """The walkthrough's clock: it moves only when told to."""

    def __init__(self, now: float) -> None:
        self.now = now

    def __call__(self) -> float:
        return self.now


@dataclass
class Connection:
    """What the host keeps for one connection."""

    client: DemoEngine
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
    clock: Clock
    digest: dict[str, Any] | None = None


def open_connection(client: DemoEngine, profile: str, config: refresh.DocsConfig, clock: Clock) -> Connection:
    """Connection start: what the engine serves, the surface, the server
    instructions for it, the registry and the handshake text."""
    caps = capabilities.resolve(client)
    surface = surfaces.build_surface(profile, absent=caps.absent)
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
            docs, notes = refresh.derive_registry(client)
        except httpx.HTTPError as exc:
            error = type(exc).__name__
    else:
        error = "this engine serves no pages"
    handshake = refresh.handshake_text(docs, error=error, display=display)
    timer = refresh.RefreshState(config.calls, config.minutes, clock)
    return Connection(client, profile, config, caps, surface, display, text, docs, notes, handshake, timer, clock)


def surface_call(conn: Connection, tool: str, args: dict[str, Any]) -> tuple[str, dict[str, Any]]:
    """How an agent calls a catalogue tool on this surface: through its family
    with an op when the surface folds it, else by its own name."""
    for st in conn.surface:
        for op, member in st.ops.items():
            if member == tool:
                return st.name, {"op": op, **args}
    return tool, dict(args)


def refresh_digest(conn: Connection) -> str:
    """Rebuild the digest when the timer says it is due; what happened, in words."""
    if not conn.caps.pages:
        return "off (no docs on an engine without pages)"
    if not conn.timer.tick():
        return "not due"
    try:
        docs, notes = refresh.derive_registry(conn.client, budget_seconds=refresh.DIGEST_BUILD_BUDGET_SECONDS)
    except httpx.TimeoutException as exc:
        conn.timer.failed()
        return (f"due, but the rescan timed out in the {explain.timeout_phase(exc)} phase; "
                f"due again in {refresh.RETRY_SECONDS:g} s")
    conn.docs, conn.notes = docs, notes
    extra = {"registry": "; ".join(f"{k}: {v}" for k, v in notes.items())} if notes else None
    conn.digest = refresh.build_digest(docs, cap_chars=conn.config.digest_chars, now=conn.clock(), extra=extra)
    conn.timer.fired()
    version = conn.digest["instructions_version"] if conn.digest else None
    return f"rebuilt (instructions_version {version})"


def handle_call(conn: Connection, name: str, args: dict[str, Any]) -> dict[str, Any]:
    """One tool call as the host serves it: the digest first, then the call
    resolved on the surface, run, its failures worded, its guidance respelled."""
    digest = refresh_digest(conn)
    reply: dict[str, Any]
    try:
        tool, tool_args = surfaces.resolve_call(conn.surface, name, args)
    except ToolInputError as exc:
        tool, reply = "", {"error": str(exc)}
    else:
        try:
            reply = run_tool(conn, tool, tool_args)
        except httpx.HTTPStatusError as exc:
            reply = {"error": explain.http_failure(tool, exc, writes=_writes(tool))}
        except httpx.TimeoutException as exc:
            read_call = None
            if "page_id" in tool_args:
                read_call = explain.call("kelvo_page_get", page_id=tool_args["page_id"])
            reply = {"error": explain.timeout(tool, exc, writes=_writes(tool), read_call=read_call)}
        ignored = surfaces.ignored_args(conn.surface, name, args)
        if ignored:
            reply["notes"] = [f"ignored by op={args.get('op')!r}: {', '.join(ignored)}"]
    if conn.digest is not None:
        reply["standing_docs"] = conn.digest
    return {"call": explain.call(name, **args), "ran": tool, "digest": digest,
            "reply": surfaces.respell_guidance(reply, conn.display)}


def _writes(tool: str) -> bool:
    return tool in _BY_NAME and _BY_NAME[tool].writes


def run_tool(conn: Connection, tool: str, args: dict[str, Any]) -> dict[str, Any]:
    """The few handlers this walkthrough wires; the engine does the work."""
    if tool == "__grammar__":
        return {"text": surfaces.PAGE_GRAMMAR.splitlines()[0] + " …"}
    if tool == "kelvo_page_list":
        listing = conn.client.list_pages(limit=int(args.get("limit", 20)))
        return {"pages": [{"page_id": p["page_id"], "title": p["title"]} for p in listing["pages"]],
                "has_more": listing["has_more"]}
    if tool == "kelvo_page_get":
        detail = conn.client.get_page(str(args["page_id"]))
        return {"page_id": detail["page_id"], "title": detail["title"],
                "text": refresh.blocks_to_markdown(detail["blocks"])}
    if tool == "kelvo_doc_get":
        for d in conn.docs or []:
            if d.name == args.get("name"):
                return {"name": d.name, "kind": d.kind, "approval": d.approval,
                        "body": refresh._truncated_body(d.body, 120, d.name)}
        return {"error": explain.not_found("doc", args.get("name"), conn.config.canvas,
                                           ["the name is misspelled", "the doc was deleted"],
                                           explain.call("kelvo_doc_list"))}
    if tool == "kelvo_page_update":
        updates = [normalise_block(u) for u in args.get("updates", [])]
        return conn.client.update_blocks(str(args["page_id"]), updates)
    return {"note": f"{tool} is not wired in this walkthrough"}


def normalise_block(block: dict[str, Any]) -> dict[str, Any]:
    """A block as the page tools accept it: its type a current or legacy type,
    reached through the aliases, or the fallback."""
    kind = str(block.get("block_type") or "paragraph")
    if kind not in lexicon.BLOCK_TYPES:
        kind = lexicon.BLOCK_TYPE_ALIASES.get(kind, lexicon.BLOCK_TYPE_FALLBACK)
    return {**block, "block_type": kind}


# -- the walkthrough ---------------------------------------------------------------

def walkthrough(data: dict[str, Any], profile: str) -> dict[str, Any]:
    engine = seed_engine(data)
    clock = Clock(START)
    config = refresh.DocsConfig(enabled=True, canvas=engine.canvas, calls=4)
    conn = open_connection(engine, profile, config, clock)

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
         {"page_id": page_id, "updates": [{"block_id": "b2", "block_type": "h2", "text": "Sprint 42 goals"}]}),
        ("", "kelvo_page_get", {"page_id": "pg_gone"}),
        ("later", "kelvo_doc_get", {"name": requested[0].name if requested else doc_name}),
    ]
    calls: list[dict[str, Any]] = []
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
        record = handle_call(conn, name, call_args)
        record["event"] = happened
        calls.append(record)
    # The digest rides on every reply; keep it once, as the agent last saw it.
    out["digest"] = None
    for record in calls:
        out["digest"] = record["reply"].pop("standing_docs", out["digest"])
    out["calls"] = calls

    out["family_calls"] = family_calls(conn, page_id)
    out["vocabulary"] = vocabulary()
    out["failures"] = failures(engine)
    return out


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


def failures(engine: DemoEngine) -> dict[str, str]:
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
    for i, call in enumerate(out["calls"], start=1):
        if call["event"]:
            print(f"  -- {call['event']}")
        print(f"  {i}. {call['call']}")
        print(f"     runs {call['ran'] or '(refused)'}; digest: {call['digest']}")
        print(f"     reply: {json.dumps(call['reply'], ensure_ascii=False)}")
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
