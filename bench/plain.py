"""Plain Python doing what each short call of the modules does: the
straightforward code a Python developer would write from the behaviour the
module pages describe, on the same interpreter. The benchmarks time each
beside the compiled call and assert that both give the same result, so the
comparison is between equals."""

from __future__ import annotations

import hashlib
import json
import re
from typing import Any

import httpx

from kelvo_mcp import tools as T
from kelvo_mcp.runtime import ToolInputError

# -- explain ---------------------------------------------------------------------

DETAIL_MAX = 300
SECRETISH = re.compile(r"(kelvo_sk_\w+|sk-[A-Za-z0-9_-]{8,}|Bearer\s+\S+|api[_-]?key\s*[=:]\s*\S+)", re.I)
URL = re.compile(r"https?://\S+")
STATUS_WORDS = {
    400: "the request was invalid", 401: "the API key was rejected",
    403: "the request was refused for this key or canvas", 404: "the thing addressed was not found",
    409: "the write conflicted with the current state", 413: "the payload is too large",
    422: "the arguments failed validation", 429: "too many requests (rate limit)",
    500: "the engine hit an internal error", 502: "a gateway in front of the engine failed",
    503: "the engine is not available right now", 504: "a gateway in front of the engine timed out",
}
PHASE_MEANS = {
    "connect": "the connection to the engine was never established",
    "write": "sending the request to the engine did not finish",
    "pool": "no free connection to the engine became available",
    "read": "the engine did not answer in time after receiving the request",
    "unknown": "the request did not complete in time",
}
NOT_FOUND_CAUSES = ("the id or name does not exist in this canvas", "it was deleted",
                    "the canvas itself no longer exists",
                    "this engine does not serve that route (an older or differently configured engine)")


def clean(text: Any) -> str:
    if not isinstance(text, str):
        return ""
    text = " ".join(URL.sub("<url>", SECRETISH.sub("<redacted>", text)).split())
    return text[:DETAIL_MAX] + "\u2026" if len(text) > DETAIL_MAX else text


def possible(causes) -> str:
    kept = [c for c in causes if c]
    if not kept:
        return ""
    if len(kept) == 1:
        return f"possible cause: {kept[0]}"
    return "possible causes: " + "; ".join(kept[:-1]) + f"; or {kept[-1]}"


def call(tool: str, canvas: str | None = None, **arguments: Any) -> str:
    if canvas and canvas != "home":
        arguments["canvas"] = canvas
    return f"{tool}(" + ", ".join(f"{k}={v!r}" for k, v in arguments.items()) + ")"


def not_found(kind: str, ident: Any, canvas: str | None, causes, next_call: str | None = None) -> str:
    place = f"canvas {canvas}" if canvas and canvas != "home" else "the home workspace"
    msg = f"no {kind} {ident!r} in {place}; {possible(causes)}."
    if next_call:
        msg += f" To see what exists: {next_call}."
    return msg


def timeout_phase(exc: BaseException) -> str:
    if isinstance(exc, httpx.ConnectTimeout):
        return "connect"
    if isinstance(exc, httpx.WriteTimeout):
        return "write"
    if isinstance(exc, httpx.PoolTimeout):
        return "pool"
    if isinstance(exc, httpx.ReadTimeout):
        return "read"
    return "unknown"


def budget(exc: BaseException, phase: str) -> float | None:
    try:
        value = (exc.request.extensions.get("timeout") or {}).get(phase)
        return None if value is None else float(value)
    except Exception:
        return None


def timeout(tool: str, exc: BaseException, *, writes: bool, canvas: str | None = None, read_call: str | None = None,
            budget_class: str | None = None, budget_env: str | None = None) -> str:
    phase = timeout_phase(exc)
    seconds = budget(exc, phase)
    if seconds is not None:
        note = f" ({seconds:g} s budget" + (f", set by {budget_env}" if budget_env else "") + ")"
    else:
        note = f" (budget set by {budget_env})" if budget_env else ""
    msg = f"{tool} timed out in the {phase} phase{note}: {PHASE_MEANS[phase]}."
    reading = phase in ("read", "unknown")
    if writes and reading:
        check = f": {read_call}" if read_call else " (read what it would have changed)"
        return (msg + " The engine received this write and may have APPLIED it. Check before retrying" + check
                + " \u2014 a blind retry can apply it twice.")
    if writes and phase in ("connect", "pool"):
        return msg + " Nothing reached the engine, so the write was not applied; retrying is safe."
    if writes:
        return msg + " The engine may have received part of the request; check before retrying."
    if budget_class == "retrieval" and reading:
        raise_env = f"; if it keeps timing out, raise {budget_env}" if budget_env else ""
        return (msg + " A read is safe to retry. This verb scores every candidate the canvas yields, whatever "
                "token_budget or max_items asks for, so narrowing the request may not shorten it" + raise_env
                + ", or use kelvo_search, which is faster.")
    if reading:
        return msg + " A read is safe to retry; if it keeps timing out, narrow the request."
    return msg + " A read is safe to retry."


def engine_reason(response) -> str:
    if response is None:
        return ""
    try:
        body = response.json()
    except Exception:
        return ""
    detail = body.get("detail") if isinstance(body, dict) else None
    if isinstance(detail, list):
        parts = []
        for item in detail[:3]:
            if not isinstance(item, dict):
                continue
            loc = ".".join(f"{x}" for x in (item.get("loc") or [])[1:])
            msg = item.get("msg")
            parts.append(f"{loc}: {msg}" if loc else f"{msg}")
        detail = "; ".join(parts)
    text = clean(detail)
    return "" if text.lower() in ("not found", "") else text


def http_failure(tool: str, exc: httpx.HTTPStatusError, *, writes: bool, canvas: str | None = None) -> str:
    status = exc.response.status_code
    reason = engine_reason(exc.response)
    msg = f"{tool}: Kelvo returned HTTP {status} ({STATUS_WORDS.get(status, 'the request failed')})"
    if reason:
        msg += f" \u2014 the engine says: {reason}"
    elif status == 404:
        msg += "; " + possible(NOT_FOUND_CAUSES)
    msg += "."
    if writes and status >= 500:
        msg += " A server error after a write does not prove nothing was written; read before retrying."
    return msg


# -- surfaces --------------------------------------------------------------------

def display_name(surface):
    member_to = {}
    for st in surface:
        for op, member in st.ops.items():
            member_to[member] = f"{st.name}(op='{op}')"
    return lambda name: member_to.get(name, name)


def _op(args: dict) -> str:
    op = args.get("op")
    return str(op).strip() if op else ""


def _quoted(text: str) -> str:
    return repr(text)


def _op_summary(st) -> str:
    parts = []
    for op, member in st.ops.items():
        required = T._BY_NAME[member].input_schema.get("required") or []
        parts.append(f"'{op}'" + (f" requires {', '.join(required)}" if required else ""))
    return "; ".join(parts)


def resolve_call(surface, name: str, args: dict | None):
    by = {st.name: st for st in surface}
    a = dict(args or {})
    if name not in by:
        tool = T._BY_NAME.get(name)
        if tool is None:
            from kelvo_mcp import surfaces
            key = next((k for k, row in surfaces.FAMILIES.items() if row[0] == name), None)
            if key is not None:
                members = [t.name for t in T.TOOLS if t.family == key]
                if not any(m in by for m in members):
                    op = _op(a)
                    a.pop("op", None)
                    pick = next((m for m in members if surfaces.OPS.get(m) == op), members[0])
                    return pick, a
            raise ToolInputError(f"unknown tool {_quoted(name)} on this surface; valid: {', '.join(sorted(by))}")
        if tool.family is not None:
            from kelvo_mcp import surfaces
            family = surfaces.FAMILIES[tool.family][0]
            if family in by:
                raise ToolInputError(f"{name} is not a tool on this surface (compact): call {family} "
                                     f"with op='{surfaces.OPS[name]}'.")
        return name, a
    st = by[name]
    if not st.ops:
        return name, a
    op = _op(a)
    a.pop("op", None)
    valid = _op_summary(st)
    has_grammar = "grammar" in st.input_schema["properties"]["op"]["enum"]
    if name == "kelvo_page_read" and op == "grammar" and has_grammar:
        return "__grammar__", {}
    if op not in st.ops:
        words = "[" + ", ".join(f"'{o}'" for o in st.ops) + "]"
        raise ToolInputError(f"{name} needs op = one of {words}{' or ' + repr('grammar') if has_grammar else ''}"
                             f" (got {_quoted(op)}). Ops: {valid}")
    member = T._BY_NAME[st.ops[op]]
    missing = [r for r in member.input_schema.get("required") or [] if r not in a]
    if missing:
        raise ToolInputError(f"{name} op='{op}' requires {', '.join(missing)}. Ops: {valid}")
    allowed = set(member.input_schema.get("properties") or {}) | {"canvas"}
    stray = sorted(k for k in a if k not in allowed and k not in st.input_schema["properties"])
    if stray:
        raise ToolInputError(f"{name} op='{op}' does not take {', '.join(stray)}. Ops: {valid}")
    return member.name, a


def ignored_args(surface, name: str, args: dict | None) -> list[str]:
    st = next((st for st in surface if st.name == name), None)
    if st is None or not st.ops:
        return []
    args = args or {}
    op = _op(args)
    if op not in st.ops:
        return []
    member = T._BY_NAME[st.ops[op]]
    allowed = set(member.input_schema.get("properties") or {}) | {"canvas", "op"}
    return sorted(k for k in args if k not in allowed)


# -- refresh ---------------------------------------------------------------------

SENTINEL_KEY = "__kelvo_agent_doc__"
DOC_KINDS = ("doc", "skill", "learnings")
NAME_RE = re.compile(r"^[a-z0-9][a-z0-9._-]{0,63}$")


def _as_int(value: Any) -> int:
    try:
        return int(value)
    except (TypeError, ValueError, OverflowError):
        return 1


def parse_sentinel(text: str | None):
    t = (text or "").strip()
    if SENTINEL_KEY not in t:
        return None
    try:
        meta = json.loads(t)
    except ValueError:
        return None
    if not isinstance(meta, dict) or not meta.get(SENTINEL_KEY):
        return None
    name = str(meta.get("name") or "").strip()
    if not NAME_RE.match(name):
        return None
    kind = str(meta.get("kind") or "doc").strip().lower()
    return {"name": name, "kind": kind if kind in DOC_KINDS else "doc",
            "when_to_use": str(meta.get("when_to_use") or "")[:200],
            "pinned": bool(meta.get("pinned")), "v": max(_as_int(meta.get("v", 1)), 1)}


def instructions_version(docs) -> str:
    rows = sorted(f"{d.name}|{d.kind}|{d.page_id}|{d.updated_at}" for d in docs
                  if (d.pinned or d.kind == "skill") and d.approval == "approved")
    return hashlib.sha256("\n".join(rows).encode()).hexdigest()[:12]


FENCE = "`" * 3
MD_PREFIX = {"heading_1": "# ", "heading_2": "## ", "heading_3": "### ", "bulleted": "- ", "numbered": "1. ",
             "todo": "- [ ] ", "todo_done": "- [x] ", "quote": "> "}
LIST_TYPES = {"bulleted", "numbered", "todo", "todo_done"}
LINE_TYPES = (("### ", "heading_3"), ("## ", "heading_2"), ("# ", "heading_1"), ("- [x] ", "todo_done"),
              ("- [X] ", "todo_done"), ("- [ ] ", "todo"), ("- ", "bulleted"), ("* ", "bulleted"), ("> ", "quote"))
NUMBERED_RE = re.compile(r"^\d+[.)]\s+")
ANY_SENTINEL_RE = re.compile(r'^\s*\{\s*"__kelvo_[a-z_]+__"')


def _order(block: dict) -> tuple:
    v = block.get("order") or 0
    v = v if type(v) is int else float(v)
    return (1, 0) if v != v else (0, v)


def blocks_to_markdown(blocks) -> str:
    chunks: list[str] = []
    last = None
    for b in sorted((b for b in blocks or () if isinstance(b, dict)), key=_order):
        text = str(b.get("text") or "")
        if ANY_SENTINEL_RE.match(text):
            last = None
            continue
        bt = str(b.get("block_type") or "paragraph")
        if bt == "divider":
            chunks.append("---")
        elif bt == "code":
            chunks.append(f"{FENCE}\n{text}\n{FENCE}")
        elif bt in MD_PREFIX:
            pre = MD_PREFIX[bt]
            chunk = "\n".join(pre + line for line in text.splitlines()) or pre.rstrip()
            if bt in LIST_TYPES and last in LIST_TYPES:
                chunks[-1] += "\n" + chunk
            else:
                chunks.append(chunk)
        elif text.strip():
            chunks.append(text)
        else:
            continue
        last = bt
    return "\n\n".join(chunks)


def markdown_to_blocks(text: str | None) -> list[dict]:
    blocks: list[dict] = []
    para: list[str] = []
    code: list[str] | None = None

    def flush() -> None:
        if para:
            blocks.append({"block_type": "paragraph", "text": "\n".join(para)})
            para.clear()

    for line in (text or "").splitlines():
        s = line.strip()
        if code is not None:
            if s.startswith(FENCE):
                blocks.append({"block_type": "code", "text": "\n".join(code)})
                code = None
            else:
                code.append(line)
        elif s.startswith(FENCE):
            flush()
            code = []
        elif not s:
            flush()
        elif s == "---":
            flush()
            blocks.append({"block_type": "divider", "text": ""})
        elif hit := next(((p, t) for p, t in LINE_TYPES if s.startswith(p)), None):
            flush()
            blocks.append({"block_type": hit[1], "text": s[len(hit[0]):]})
        elif m := NUMBERED_RE.match(s):
            flush()
            blocks.append({"block_type": "numbered", "text": s[m.end():]})
        else:
            para.append(s)
    if code is not None:
        blocks.append({"block_type": "code", "text": "\n".join(code)})
    flush()
    return blocks


# -- capabilities ----------------------------------------------------------------

def canvas_missing(resp) -> bool:
    if resp.headers.get("X-Kelvo-Error") == "canvas_not_found":
        return True
    try:
        return (resp.json() or {}).get("detail") == "canvas not found"
    except Exception:
        return False


def probe_pages(client) -> bool | None:
    try:
        client.list_pages(limit=1)
        return True
    except httpx.HTTPStatusError as exc:
        if exc.response.status_code != 404:
            return True
        return None if canvas_missing(exc.response) else False
    except Exception:
        return None


def resolve(client, Capabilities, undecided: str):
    try:
        ident = client.whoami()
    except Exception:
        return Capabilities(source="fail-open")
    ident = ident or {}
    role = str(ident.get("role") or "").strip()
    scopes = tuple(s for s in ident.get("scopes") or [] if isinstance(s, str) and s)
    caps = ident.get("capabilities")
    if isinstance(caps, list) and caps:
        names = {str(c).strip().lower() for c in caps}
        return Capabilities("pages" in names, "capabilities", role, scopes)
    probed = probe_pages(client)
    return Capabilities(True if probed is None else probed, undecided if probed is None else "probe", role, scopes)


# -- instructions ----------------------------------------------------------------

TOOL_RE = re.compile("kelvo_[a-z_]+")


def render(visible, *, display=None, profile="full", extra="", rewrites=(), full: str, lean: str, needs):
    vis = set(visible)
    if profile == "lean":
        text = lean
    else:
        paras = full.split("\n\n")
        if len(paras) != len(needs):
            raise RuntimeError(f"SERVER_INSTRUCTIONS has {len(paras)} paragraphs, NEEDS has {len(needs)}")
        text = "\n\n".join(p for p, need in zip(paras, needs) if not need or need & vis)
    for old, new in rewrites:
        text = text.replace(old, new)
    if display is not None:
        text = TOOL_RE.sub(lambda m: m.group(0) if m.group(0).endswith("__") else display(m.group(0)), text)
    return text + "\n\n" + extra if extra else text
