// The fixed texts of the tool surfaces: family titles and descriptions, the
// short canvas descriptions and the grammar pointers (UTF-8).
#pragma once

namespace kelvo::surfaces::text {

inline constexpr const char* desc_graph = R"__(Read the edges around a known node: op='neighborhood' for the 1-hop edges, op='subgraph' for a bounded multi-hop expansion, op='backlinks' for what points AT it (e.g. the pages that mention it). All need node_id + node_type from a prior result.)__";
inline constexpr const char* desc_maintain = R"__(Write derived facts into the graph: op='enrich' re-extracts with the Apex engines, op='resolve' merges duplicate entities.)__";
inline constexpr const char* desc_page_read = R"__(Read pages in a canvas: op='list' lists them, op='get' returns one page with its ordered blocks (call it in the same turn before any edit), op='removed' lists what a page has lost (for op='restore').)__";
inline constexpr const char* desc_page_edit = R"__(Page writes that CANNOT remove anything: op='create' makes a new page, op='append' adds blocks to the end of a page, op='insert' adds them after a named block, op='update' edits named existing blocks in place, op='move' reorders blocks, op='rename' retitles the page, op='meta' pins or groups it, op='restore' puts back blocks it lost. For rich content fetch kelvo_page_read(op='grammar') first. Replacing a page's blocks is a different tool (kelvo_page_write) because it can remove content.)__";
inline constexpr const char* desc_canvas_read = R"__(See canvases: op='list' every canvas, op='current' the connection's immutable default, op='use' resolve a name/id to a canvas_handle for per-call targeting (nothing is switched).)__";
inline constexpr const char* desc_canvas_erase = R"__(IRREVERSIBLE two-phase canvas operations: op='clear' erases every node and edge, op='delete' removes the canvas itself. The first call returns a confirm_token and a next_call; only the second call with that exact confirm executes.)__";
inline constexpr const char* desc_docs_read = R"__(Read the agent's standing docs: op='refresh' the digest of pinned docs and skills (once per session), op='list' every doc, op='get' one doc's full body.)__";
inline constexpr const char* title_graph = R"__(Graph neighbourhood)__";
inline constexpr const char* title_maintain = R"__(Graph maintenance)__";
inline constexpr const char* title_page_read = R"__(Read pages)__";
inline constexpr const char* title_page_edit = R"__(Create or add to pages)__";
inline constexpr const char* title_canvas_read = R"__(Canvases)__";
inline constexpr const char* title_canvas_erase = R"__(Erase a canvas)__";
inline constexpr const char* title_docs_read = R"__(Standing docs)__";
inline constexpr const char* short_canvas = R"__(Canvas for THIS call only (name | id | canvas_handle). Omitted = the connection's immutable default. Nothing is remembered between calls.)__";
inline constexpr const char* short_docs_canvas = R"__(Canvas holding the agent docs, for THIS call only. Omitted = the configured docs canvas (KELVO_DOCS_CANVAS).)__";
inline constexpr const char* grammar_summary = R"__( op='grammar' returns the full block grammar for composing rich pages (tables, diagrams, live views, media, controls, styling, layout) — fetch it once before building anything beyond plain text and tables.)__";
inline constexpr const char* pointer = R"__((Every other block kind — DIAGRAM/CHART, LIVE VIEW, MEDIA, ILLUSTRATION, INTERACTIVE CONTROLS, PROGRESS/DATES/BUTTONS — plus inline markdown, STYLING, the MASTHEAD and `layout` has an exact shape: call kelvo_page_read(op='grammar') once BEFORE composing such a page and follow it. A guessed shape is not rejected — it is downgraded to plain text — so read first rather than rewrite the page after.))__";

}  // namespace kelvo::surfaces::text
