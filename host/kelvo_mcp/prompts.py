"""The host's server instructions: the full text, one paragraph per topic
in a fixed order (general use, page authoring in five paragraphs, graph
hygiene, agent docs, repository sync), and the short text of the lean
profile. Paragraphs are separated by one blank line."""

_PARAGRAPHS = (
    (
        'You are connected to Kelvo, a knowledge engine that keeps what you learn across '
        'sessions: a graph of nodes and edges on the current canvas, and pages made of '
        'ordered blocks. Look before you write: kelvo_search finds what is already known, '
        'kelvo_answer answers a question from the graph, and kelvo_remember stores one new '
        'fact with its source. kelvo_canvas_current tells you which canvas you are on; switch '
        'with kelvo_canvas_use only when the user asks.'
    ),
    (
        'Pages are for longer writing that a person will read: notes, plans, write-ups. '
        'Create one with kelvo_page_create, giving a title and the body as Markdown; '
        "kelvo_page_write replaces a page's whole body and kelvo_page_append adds blocks at "
        'the end. Read a page with kelvo_page_get before you change it.'
    ),
    (
        'To change part of a page, use kelvo_page_update with the block id and its new text, '
        'or kelvo_page_insert to put new blocks after a given block. Never rewrite a whole '
        'page to change one paragraph.'
    ),
    (
        'kelvo_page_move puts a page under another parent page and kelvo_page_rename changes '
        "its title; both keep the page's id, so links to it stay valid."
    ),
    (
        'Deleted pages are kept for a while: kelvo_page_removed lists them and '
        'kelvo_page_restore brings one back with its blocks.'
    ),
    (
        'Page bodies use the block grammar that kelvo_page_create describes: headings, '
        'paragraphs, lists, to-dos, quotes, callouts, code, dividers and tables. Keep each '
        'block short; several small blocks read better than one long one.'
    ),
    (
        'Keep the graph tidy: link new nodes to what they relate to, and use kelvo_forget '
        'only for facts the user asks you to remove. When a tool fails, read its message — it '
        'says what to do next.'
    ),
    (
        'At session start, call kelvo_docs_refresh and follow what comes back: the approved '
        'docs, skills and learnings are your standing instructions; read one in full with '
        'kelvo_doc_get(name). Each doc is a page whose first block carries the '
        '__kelvo_agent_doc__ marker; never edit that block by hand. Save in the other '
        'direction too, DURING the session rather than when asked: when the user states a '
        'lasting convention or preference, kelvo_doc_save it; when you learn something worth '
        'keeping — a fix that worked, a gotcha, a failed approach — kelvo_learn it '
        "(append-only, dated). New docs wait for the user's approval in the Kelvo app."
    ),
    (
        'When the operator has enabled repository sync, kelvo_docs_export writes the approved '
        'docs into the repository, kelvo_page_export writes a page out as a Markdown file, '
        'and kelvo_page_import reads such a file back into a page. Export after a doc '
        'changes; import only files the user points you at.'
    ),
)

SERVER_INSTRUCTIONS = "\n\n".join(_PARAGRAPHS)

SERVER_INSTRUCTIONS_LEAN = (
    'You are connected to Kelvo, a knowledge engine that keeps what you learn across '
    'sessions. kelvo_search finds what is already known; kelvo_remember stores one new '
    'fact.\n\nAt session start, call kelvo_docs_refresh and follow what comes back: the '
    'approved docs are your standing instructions; read one with kelvo_doc_get(name).'
)
