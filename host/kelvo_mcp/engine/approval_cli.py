"""The user's approvals from a shell, on a store (`python -m kelvo_mcp.engine
--store FILE --approve NAME`, `--revoke NAME`, `--history NAME`).

An approval names what the user read. `--approve` prints the doc in force
(every character that could hide text from a reader, controls, bidirectional
overrides and zero-width characters, shown escaped), its revision and a diff
against the last revision of that name the user approved. On a terminal
(stdin and stdout both) it asks, and approves the revision it printed and no
other; elsewhere it takes `--expect REVISION`. Either way the engine approves
only while that revision is still in force, in the transaction that approves:
an agent's save in between makes it refuse, and nothing is written.
"""

from __future__ import annotations

import difflib
import sys
import unicodedata
from typing import Any, TextIO

import httpx

from kelvo_mcp import refresh
from kelvo_mcp.engine.embedded import EmbeddedEngine

PROG = "python -m kelvo_mcp.engine"
# Bidirectional controls and zero-width characters (format characters, Cf, all of them) and
# line/paragraph separators: text a terminal would not show as it is.
_HIDDEN = {"Cc", "Cf", "Zl", "Zp", "Cs", "Co", "Cn"}


class Refused(Exception):
    """The act is refused: one line for stderr, exit status 2, nothing written."""


def shown(text: str, *, lines: bool = False) -> str:
    """`text` with every control, format (bidirectional, zero-width) and
    unassigned character escaped as \\uXXXX or \\UXXXXXXXX; with `lines`,
    line feeds are kept as line breaks."""
    out = []
    for ch in text:
        if (lines and ch == "\n") or unicodedata.category(ch) not in _HIDDEN:
            out.append(ch)
        elif ord(ch) > 0xFFFF:
            out.append(f"\\U{ord(ch):08x}")
        else:
            out.append(f"\\u{ord(ch):04x}")
    return "".join(out)


def describe(doc: refresh.DocInfo) -> str:
    """Whether approving makes the doc an instruction, in words."""
    if refresh.requests_authority(doc):
        why = "a skill" if doc.kind == "skill" else "a pinned doc"
        return f"yes: {why}, approved, is a standing instruction"
    return "no: an unpinned doc is listed in the digest, approved or not, and is never an instruction"


def render(found: dict[str, Any]) -> str:
    """What the user reads before approving: the doc in force, its revision,
    and the diff against the last approved revision of its name."""
    page, doc, rev, last = found["page"], found["doc"], found["revision"], found["last_approved"]
    rows = [f"doc {shown(doc.name)} (page {shown(page.page_id)})",
            f"kind: {doc.kind}",
            f"title: {shown(doc.title)}",
            f"pinned: {'yes' if doc.pinned else 'no'}",
            f"when_to_use: {shown(doc.when_to_use)}",
            f"approving makes it an instruction: {describe(doc)}",
            f"approval now: {doc.approval}",
            f"revision: {rev}",
            "--- body (Markdown; hidden characters escaped) ---",
            shown(doc.body, lines=True),
            "--- end of body ---"]
    if last is None:
        rows.append("no revision of this name was approved before")
    elif last["revision"] == rev:
        rows.append(f"the same revision was approved at {last['at']}")
    else:
        before = shown(last["body"] or "", lines=True).splitlines()
        diff = difflib.unified_diff(before, shown(doc.body, lines=True).splitlines(), lineterm="",
                                    fromfile=f"approved {last['revision']} ({last['at']}, page {last['page_id']})",
                                    tofile=f"in force {rev}")
        rows.append(f"changes since the last approval of {shown(doc.name)}:")
        rows.extend(diff)
    return "\n".join(rows)


def approve(engine: EmbeddedEngine, name: str, expect: str | None, *, stdin: TextIO = sys.stdin,
            stdout: TextIO = sys.stdout) -> str:
    """Print the doc in force, then approve the revision the user confirmed
    (on a terminal) or named (`expect`). The line to print on success;
    `Refused` otherwise."""
    found = engine.doc_in_force(name)
    if found is None:
        raise Refused(f"the store holds no doc named {shown(name)!r}; nothing was approved")
    print(render(found), file=stdout, flush=True)
    if expect is None:
        if not (stdin.isatty() and stdout.isatty()):
            raise Refused("not at a terminal: give --expect REVISION, the revision printed above; "
                          "nothing was approved")
        print(f"approve revision {found['revision']} of {shown(name)}? [y/N] ", end="", file=stdout, flush=True)
        if stdin.readline().strip().lower() not in ("y", "yes"):
            raise Refused("not confirmed; nothing was approved")
        expect = found["revision"]
    elif expect != found["revision"]:
        raise Refused(f"the doc in force named {shown(name)!r} is at revision {found['revision']}, "
                      f"not {shown(expect)}; nothing was approved")
    try:
        done = engine.approve_doc(name, revision=expect)
    except httpx.HTTPStatusError as exc:
        if exc.response.status_code != 412:
            raise
        raise Refused(f"the doc named {shown(name)!r} changed while you read it; nothing was approved") from None
    if done is None:
        raise Refused(f"the doc named {shown(name)!r} was deleted while you read it; nothing was approved")
    return f"approved doc {shown(name)} (page {done['page_id']}, revision {done['revision']})"


def revoke(engine: EmbeddedEngine, name: str) -> str:
    pages = engine.revoke_doc(name)
    if not pages:
        raise Refused(f"the store holds no doc named {shown(name)!r}; nothing was revoked")
    return f"revoked doc {shown(name)}: no page of it is approved (pages {', '.join(pages)})"


def history(engine: EmbeddedEngine, name: str) -> str:
    rows = [f"{e['at']}  {e['act']:<8}  {shown(name)}  page {e['page_id']}  revision {e['revision']}"
            for e in engine.approval_history(name)]
    return "\n".join(rows) if rows else f"no approvals of {shown(name)} are logged"
