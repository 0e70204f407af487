"""Stand-in for the host's tool catalogue: every server tool with its texts,
its JSON-Schema arguments, its annotations and the flags the surface builder
reads (`docs_tool`, `writes`, `family`), plus the visibility filter."""

from __future__ import annotations

import dataclasses
from typing import Any


@dataclasses.dataclass(frozen=True)
class Tool:
    name: str
    title: str
    description: str
    input_schema: dict[str, Any]
    annotations: dict[str, Any]
    docs_tool: bool = False  # the `canvas` argument addresses the docs canvas
    writes: bool = False
    family: str | None = None
    lean: bool = True  # offered on the lean profile too


_CANVAS = (
    "Canvas to act on for this call: a canvas name, a canvas id, or a canvas_handle "
    "returned by kelvo_canvas_use. Omit it to use the connection's default canvas "
    "(see kelvo_canvas_current). Names are matched case-insensitively; an unknown "
    "name is an error, never a new canvas (create one with kelvo_canvas_create)."
)
_DOCS_CANVAS = (
    "Canvas that holds the agent docs. Omit it to use the configured docs canvas "
    "(KELVO_DOCS_CANVAS); pass a name, id or canvas_handle only when the user keeps "
    "their docs elsewhere. kelvo_doc_list shows what that canvas holds."
)


def _canvas(docs: bool = False) -> dict[str, Any]:
    return {"type": "string", "description": _DOCS_CANVAS if docs else _CANVAS, "minLength": 1}


def _schema(props: dict[str, Any], required: tuple[str, ...] = (), *, canvas: bool = True,
            docs: bool = False) -> dict[str, Any]:
    properties = dict(props)
    if canvas:
        properties["canvas"] = _canvas(docs)
    return {"type": "object", "properties": properties, "required": list(required),
            "additionalProperties": False}


def _ann(title: str, *, read_only: bool, destructive: bool = False, idempotent: bool = False) -> dict[str, Any]:
    return {"title": title, "readOnlyHint": read_only, "destructiveHint": destructive,
            "idempotentHint": idempotent, "openWorldHint": False}


_NODE_ID = {"type": "string", "description": "Id of the node, as returned by kelvo_search, kelvo_answer or kelvo_neighborhood."}
_NODE_TYPE = {"type": "string", "description": "Type of the node (entity, fact, page, doc), from the same result as node_id."}
_PAGE_ID = {"type": "string", "description": "Id of the page, from kelvo_page_list or kelvo_page_create."}
_BLOCKS = {
    "type": "array",
    "description": "Blocks in order; each is {block_type, text, ...}. Read kelvo_page_get first when editing.",
    "items": {"type": "object"},
}
_BLOCK_ID = {"type": "string", "description": "Id of an existing block, from kelvo_page_get."}
_LIMIT = {"type": "integer", "minimum": 1, "maximum": 200, "default": 50, "description": "Most items to return."}
_CONFIRM = {"type": "string", "description": "The confirm_token from the first call; omit it on the first call."}
_DOC_NAME = {"type": "string", "description": "Name of the doc (lowercase words joined by hyphens)."}

PAGE_CREATE_DESCRIPTION = """Create a new page in a canvas from a title and an ordered list of blocks. Pages are the durable, human-readable side of a canvas: notes, plans, reports, runbooks. Plain blocks need no preparation: paragraph, heading_1..heading_3, bulleted_list_item, numbered_list_item, todo (checked), quote, divider, code (language), callout (variant, icon) and table (rows of cells, header_row).

• DIAGRAM / CHART: {block_type: "diagram", text: <mermaid source>} for flows and sequences; {block_type: "chart", kind: bar|line|pie, series: [{label, values}], labels: [...]} for numbers. Keep a chart to at most 12 labels.
• LIVE VIEW: {block_type: "live_view", query: <kelvo_search query>, limit: 1..50} renders the current results every time the page opens.
• MEDIA: {block_type: "image"|"video"|"file", url: https://... or kelvo://asset/<id>, caption}. Other schemes are refused.
• ILLUSTRATION: {block_type: "illustration", name: <one of the built-in names>, size: small|medium|large}.
• INTERACTIVE CONTROLS: {block_type: "toggle"|"checkbox_group"|"select", options: [...], default}.
• PROGRESS / DATES / BUTTONS: {block_type: "progress", value: 0..100}, {block_type: "date", iso: "2026-01-31"}, {block_type: "button", label, action: open_page|run_search, target}.
• STYLING: inline **bold**, *italic*, `code`, [links](https://...) and {color: <palette colour>} on any text block.
• MASTHEAD: page-level {cover, icon (one emoji or at most 2 UTF-16 units), subtitle}.
• `layout`: {columns: [[block indexes], [block indexes]], width: narrow|normal|wide}.

Returns {page_id, title, blocks_written, url}. Blocks the engine could not parse are downgraded to paragraphs and listed under notes; check them with kelvo_page_get before telling the user the page is done."""

TOOLS: list[Tool] = [
    Tool("kelvo_remember", "Remember", "Store a fact, decision or preference in the canvas knowledge graph. The engine extracts entities and links them; recall them later with kelvo_search or kelvo_answer.",
         _schema({"text": {"type": "string", "description": "What to remember, in the user's words."},
                  "source": {"type": "string", "description": "Where it came from (a URL, a file, the chat)."}}, ("text",)),
         _ann("Remember", read_only=False), writes=True),
    Tool("kelvo_search", "Search", "Search the canvas knowledge graph and return ranked nodes with their node_id and node_type; follow up with kelvo_neighborhood for the edges around one of them.",
         _schema({"query": {"type": "string", "description": "What to look for."}, "limit": _LIMIT}, ("query",)),
         _ann("Search", read_only=True, idempotent=True)),
    Tool("kelvo_answer", "Answer", "Answer a question from what the canvas holds, with citations. Use it before claiming not to know; use kelvo_search when you need the raw nodes.",
         _schema({"question": {"type": "string", "description": "The question, in full."},
                  "token_budget": {"type": "integer", "minimum": 200, "description": "Upper bound on the answer's evidence."}}, ("question",)),
         _ann("Answer", read_only=True, idempotent=True)),
    Tool("kelvo_neighborhood", "Neighbourhood", "Return the 1-hop edges of a node found by kelvo_search.",
         _schema({"node_id": _NODE_ID, "node_type": _NODE_TYPE, "limit": _LIMIT}, ("node_id", "node_type")),
         _ann("Neighbourhood", read_only=True, idempotent=True), family="graph"),
    Tool("kelvo_subgraph", "Subgraph", "Expand a node several hops out, bounded by depth and size; prefer kelvo_neighborhood for one hop.",
         _schema({"node_id": _NODE_ID, "node_type": _NODE_TYPE,
                  "depth": {"type": "integer", "minimum": 1, "maximum": 4, "default": 2, "description": "Hops to expand."},
                  "max_nodes": {"type": "integer", "minimum": 1, "maximum": 500}}, ("node_id", "node_type")),
         _ann("Subgraph", read_only=True, idempotent=True), family="graph", lean=False),
    Tool("kelvo_backlinks", "Backlinks", "List what points AT a node: the pages that mention it and the facts that cite it.",
         _schema({"node_id": _NODE_ID, "node_type": _NODE_TYPE, "limit": _LIMIT}, ("node_id", "node_type")),
         _ann("Backlinks", read_only=True, idempotent=True), family="graph"),
    Tool("kelvo_node_get", "Get a node", "Return one node with all its properties.",
         _schema({"node_id": _NODE_ID, "node_type": _NODE_TYPE}, ("node_id", "node_type")),
         _ann("Get a node", read_only=True, idempotent=True)),
    Tool("kelvo_enrich", "Enrich", "Re-extract entities and facts from the stored sources with the Apex engines. Slow; run it after a large kelvo_remember batch.",
         _schema({"scope": {"type": "string", "enum": ["canvas", "recent"], "description": "What to re-extract."}}),
         _ann("Enrich", read_only=False), writes=True, family="maintain", lean=False),
    Tool("kelvo_resolve", "Resolve duplicates", "Merge entities that name the same thing; returns the merges made.",
         _schema({"threshold": {"type": "number", "minimum": 0.5, "maximum": 1.0, "description": "Similarity needed to merge."},
                  "dry_run": {"type": "boolean", "description": "Report the merges without making them."}}),
         _ann("Resolve duplicates", read_only=False, destructive=True), writes=True, family="maintain", lean=False),
    Tool("kelvo_forget", "Forget", "Remove one node and its edges from the graph. Cannot be undone; kelvo_search for the node_id first.",
         _schema({"node_id": _NODE_ID, "node_type": _NODE_TYPE}, ("node_id", "node_type")),
         _ann("Forget", read_only=False, destructive=True), writes=True),
    Tool("kelvo_canvas_list", "List canvases", "List every canvas this key can see, with ids and names.",
         _schema({"limit": _LIMIT}, canvas=False),
         _ann("List canvases", read_only=True, idempotent=True), family="canvas_read"),
    Tool("kelvo_canvas_current", "Current canvas", "Show the connection's default canvas; it never changes during a connection.",
         _schema({}, canvas=False),
         _ann("Current canvas", read_only=True, idempotent=True), family="canvas_read"),
    Tool("kelvo_canvas_use", "Use a canvas", "Resolve a canvas name or id to a canvas_handle to pass as canvas on later calls; nothing is switched.",
         _schema({"target": {"type": "string", "description": "Canvas name or id, as kelvo_canvas_list shows it."}}, ("target",), canvas=False),
         _ann("Use a canvas", read_only=True, idempotent=True), family="canvas_read"),
    Tool("kelvo_canvas_create", "Create a canvas", "Create a new, empty canvas and return its canvas_handle.",
         _schema({"name": {"type": "string", "description": "Name of the new canvas."},
                  "description": {"type": "string", "description": "What the canvas is for."}}, ("name",), canvas=False),
         _ann("Create a canvas", read_only=False), writes=True, lean=False),
    Tool("kelvo_canvas_clear", "Clear a canvas", "Erase every node and edge of a canvas, in two phases: the first call returns a confirm_token and a next_call.",
         _schema({"confirm": _CONFIRM}),
         _ann("Clear a canvas", read_only=False, destructive=True), writes=True, family="canvas_erase", lean=False),
    Tool("kelvo_canvas_delete", "Delete a canvas", "Delete a canvas itself, in two phases like kelvo_canvas_clear.",
         _schema({"confirm": _CONFIRM}, ("canvas",)),
         _ann("Delete a canvas", read_only=False, destructive=True), writes=True, family="canvas_erase", lean=False),
    Tool("kelvo_page_list", "List pages", "List the pages of a canvas, newest first, with page_id and title.",
         _schema({"limit": _LIMIT, "cursor": {"type": "string", "description": "Cursor from the previous call."}}),
         _ann("List pages", read_only=True, idempotent=True), family="page_read"),
    Tool("kelvo_page_get", "Get a page", "Return one page with its ordered blocks and their block ids. Call it in the same turn before kelvo_page_update, kelvo_page_insert or kelvo_page_move.",
         _schema({"page_id": _PAGE_ID}, ("page_id",)),
         _ann("Get a page", read_only=True, idempotent=True), family="page_read"),
    Tool("kelvo_page_create", "Create a page", PAGE_CREATE_DESCRIPTION,
         _schema({"title": {"type": "string", "description": "Page title."}, "blocks": _BLOCKS,
                  "icon": {"type": "string", "description": "One emoji."}}, ("title", "blocks")),
         _ann("Create a page", read_only=False), writes=True, family="page_edit"),
    Tool("kelvo_page_write", "Replace a page's blocks", "Replace every block of a page. This CAN remove content; prefer kelvo_page_append or kelvo_page_update, and kelvo_page_restore puts back what was lost.",
         _schema({"page_id": _PAGE_ID, "blocks": _BLOCKS}, ("page_id", "blocks")),
         _ann("Replace a page's blocks", read_only=False, destructive=True), writes=True),
    Tool("kelvo_page_append", "Append blocks", "Add blocks to the end of a page.",
         _schema({"page_id": _PAGE_ID, "blocks": _BLOCKS}, ("page_id", "blocks")),
         _ann("Append blocks", read_only=False), writes=True, family="page_edit"),
    Tool("kelvo_page_update", "Update blocks", "Edit named existing blocks in place; block ids come from kelvo_page_get.",
         _schema({"page_id": _PAGE_ID, "updates": {"type": "array", "items": {"type": "object"},
                                                   "description": "[{block_id, text?, block_type?, checked?}]"}}, ("page_id", "updates")),
         _ann("Update blocks", read_only=False), writes=True, family="page_edit"),
    Tool("kelvo_page_insert", "Insert blocks", "Insert blocks after a named block.",
         _schema({"page_id": _PAGE_ID, "after": _BLOCK_ID, "blocks": _BLOCKS}, ("page_id", "after", "blocks")),
         _ann("Insert blocks", read_only=False), writes=True, family="page_edit"),
    Tool("kelvo_page_move", "Move blocks", "Reorder blocks of a page.",
         _schema({"page_id": _PAGE_ID, "block_ids": {"type": "array", "items": {"type": "string"}},
                  "after": _BLOCK_ID}, ("page_id", "block_ids")),
         _ann("Move blocks", read_only=False, idempotent=True), writes=True, family="page_edit"),
    Tool("kelvo_page_rename", "Rename a page", "Give a page a new title.",
         _schema({"page_id": _PAGE_ID, "title": {"type": "string", "description": "New title."}}, ("page_id", "title")),
         _ann("Rename a page", read_only=False, idempotent=True), writes=True, family="page_edit"),
    Tool("kelvo_page_meta", "Page settings", "Pin a page or put it in a group.",
         _schema({"page_id": _PAGE_ID, "pinned": {"type": "boolean"}, "group": {"type": "string", "description": "Group name."}}, ("page_id",)),
         _ann("Page settings", read_only=False, idempotent=True), writes=True, family="page_edit"),
    Tool("kelvo_page_delete", "Delete a page", "Delete a page. Its blocks stay listed by kelvo_page_removed for a while.",
         _schema({"page_id": _PAGE_ID}, ("page_id",)),
         _ann("Delete a page", read_only=False, destructive=True), writes=True),
    Tool("kelvo_page_restore", "Restore blocks", "Put back blocks a page lost; the ids come from kelvo_page_removed.",
         _schema({"page_id": _PAGE_ID, "block_ids": {"type": "array", "items": {"type": "string"}}}, ("page_id", "block_ids")),
         _ann("Restore blocks", read_only=False), writes=True, family="page_edit"),
    Tool("kelvo_page_removed", "Removed blocks", "List the blocks a page has lost, newest first, for kelvo_page_restore.",
         _schema({"page_id": _PAGE_ID, "limit": _LIMIT}, ("page_id",)),
         _ann("Removed blocks", read_only=True, idempotent=True), family="page_read"),
    Tool("kelvo_page_export", "Export pages", "Write pages to Markdown files under KELVO_EXPORT_ROOT.",
         _schema({"page_ids": {"type": "array", "items": {"type": "string"}}, "path": {"type": "string"}}),
         _ann("Export pages", read_only=False), writes=True, lean=False),
    Tool("kelvo_page_import", "Import pages", "Read Markdown files under KELVO_EXPORT_ROOT back into pages (kelvo_page_export writes them).",
         _schema({"path": {"type": "string", "description": "File or folder under the export root."}}, ("path",)),
         _ann("Import pages", read_only=False), writes=True, lean=False),
    Tool("kelvo_docs_refresh", "Refresh standing docs", "Return the digest of the approved, pinned docs and skills. Call it once per session; read a doc in full with kelvo_doc_get.",
         _schema({}, docs=True),
         _ann("Refresh standing docs", read_only=True, idempotent=True), docs_tool=True, family="docs_read"),
    Tool("kelvo_doc_list", "List docs", "List every doc, skill and learning with its approval state.",
         _schema({"kind": {"type": "string", "enum": ["doc", "skill", "learning"], "description": "Only this kind."}}, docs=True),
         _ann("List docs", read_only=True, idempotent=True), docs_tool=True, family="docs_read"),
    Tool("kelvo_doc_get", "Get a doc", "Return one doc's full body; the digest of kelvo_docs_refresh cuts long ones.",
         _schema({"name": _DOC_NAME}, ("name",), docs=True),
         _ann("Get a doc", read_only=True, idempotent=True), docs_tool=True, family="docs_read"),
    Tool("kelvo_doc_save", "Save a doc", "Save a doc or skill the user stated; it acts only once the user approves it in the app. See kelvo_doc_list for names in use.",
         _schema({"name": _DOC_NAME, "kind": {"type": "string", "enum": ["doc", "skill"]},
                  "body": {"type": "string", "description": "Markdown body."}}, ("name", "body"), docs=True),
         _ann("Save a doc", read_only=False), docs_tool=True, writes=True),
    Tool("kelvo_doc_delete", "Delete a doc", "Delete a doc by name.",
         _schema({"name": _DOC_NAME}, ("name",), docs=True),
         _ann("Delete a doc", read_only=False, destructive=True), docs_tool=True, writes=True),
    Tool("kelvo_learn", "Record a learning", "Append a dated learning (a fix, a gotcha, a failed approach) to the learnings doc.",
         _schema({"text": {"type": "string", "description": "What was learnt."}, "topic": {"type": "string"}}, ("text",), docs=True),
         _ann("Record a learning", read_only=False), docs_tool=True, writes=True),
    Tool("kelvo_docs_export", "Export docs", "Write the approved docs to files under KELVO_EXPORT_ROOT; check with kelvo-mcp --export-check.",
         _schema({"path": {"type": "string"}}, docs=True),
         _ann("Export docs", read_only=False), docs_tool=True, writes=True, lean=False),
    Tool("kelvo_status", "Status", "Show the connection: engine, default canvas, key role and scopes.",
         _schema({}, canvas=False),
         _ann("Status", read_only=True, idempotent=True)),
    Tool("kelvo_ingest", "Ingest a document", "Store a long document (a file or URL) as sources the engine extracts from; like kelvo_remember for large inputs.",
         _schema({"url": {"type": "string", "description": "https URL of the document."},
                  "title": {"type": "string"}}, ("url",)),
         _ann("Ingest a document", read_only=False), writes=True, lean=False),
]

_BY_NAME: dict[str, Tool] = {t.name: t for t in TOOLS}

_PROFILES = ("full", "lean")


def visible_tools(*, readonly: bool = False, profile: str = "full",
                  absent: frozenset[str] = frozenset()) -> list[Tool]:
    """The catalogue tools a connection offers, in catalogue order: a read-only
    key sees no tool that writes, the lean profile drops the specialist tools,
    and `absent` names tools the engine cannot serve."""
    if profile not in _PROFILES:
        raise ValueError(f"unknown catalogue profile {profile!r}")
    return [t for t in TOOLS
            if t.name not in absent
            and not (readonly and t.writes)
            and (profile != "lean" or t.lean)]
