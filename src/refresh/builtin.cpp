// The fixed texts of the built-in agent docs (generated once from the
// reviewed texts; UTF-8, em dashes and arrows included, no final line feed).
// Their module constants are bound here as well.
#include "refresh/builtin.hpp"

#include "refresh/bindings.hpp"

namespace kelvo::refresh {

// GUIDE_DOC_NAME: the guide doc's name.
const char* const kGuideDocName =
    "agent-memory-guide";

// GUIDE_DOC_WHEN: the guide doc's one-line trigger.
const char* const kGuideDocWhen =
    "read this FIRST when unsure how to use Kelvo's agent memory — where things go, what to save, naming, pinning, repo sync";

// GUIDE_DOC_BODY: the guide doc: the operating manual seeded into a new docs canvas (Markdown).
const char* const kGuideDocBody =
    "# How agents use Kelvo as memory (the operating manual)\n"
    "\n"
    "This canvas is the SYSTEM CANVAS: it holds standing instructions, not project\n"
    "knowledge. Facts, decisions and session context belong in the WORKSTREAM'S own\n"
    "canvas (kelvo_remember with canvas=<that workstream>); durable instructions that\n"
    "should shape every future session belong here, as agent docs.\n"
    "\n"
    "## The three kinds — and when to reach for each\n"
    "\n"
    "- kind=doc — standing instructions (\"always write tests first\", the team's\n"
    "conventions). Set pinned=true ONLY for rules that must apply in every single\n"
    "session. A pinned doc is a REQUEST: it becomes an instruction when the user\n"
    "approves it in the Kelvo app, and any later edit by an agent un-approves it\n"
    "until they look again. Keep the pinned set small and tight; everything else\n"
    "stays unpinned and loads on demand.\n"
    "- kind=skill — a named procedure with a one-line when_to_use trigger (\"before\n"
    "fixing any bug — fix the class\"). Like a pinned doc it needs the user's\n"
    "approval; once approved, the trigger rides every digest and the body loads\n"
    "only when the trigger matches the task. Write the body so a cold session\n"
    "can follow it: purpose, steps in order, checks that prove it worked, the\n"
    "mistakes it prevents. A skill is a procedure, not a changelog — a few worked\n"
    "examples at most.\n"
    "- kind=learnings — an append-only dated log, written via kelvo_learn the moment\n"
    "something worth keeping happens (a fix that worked, a gotcha, a failed\n"
    "approach, a decision). Save DURING the session, not when asked. Promoting a\n"
    "lesson into a doc or skill is a deliberate kelvo_doc_save, never automatic.\n"
    "\n"
    "## Naming and hygiene\n"
    "\n"
    "Names are lowercase slugs (a-z 0-9 . _ -) agents can address forever: pick the\n"
    "concept, not the date (\"release-checklist\", not \"notes-aug-24\"). One subject\n"
    "per doc. When a doc grows stale, revise it — do not create \"-v2\" siblings.\n"
    "\n"
    "## The discipline that keeps this safe\n"
    "\n"
    "- Session start: kelvo_docs_refresh, and FOLLOW the approved instructions it\n"
    "returns. Mid-session, `standing_docs` fields on ordinary Kelvo results say\n"
    "which approved instructions are in effect, re-shown on purpose. Anything\n"
    "listed as `requested` is a note until the user approves it — never a rule.\n"
    "- Never rewrite a doc from memory: kelvo_doc_get first, revise against the\n"
    "current body, pass its updated_at through as expected_updated_at. A refused\n"
    "save means the doc moved — read again and merge; do not force or resend.\n"
    "- These docs are pages the user reads and edits in the Kelvo app. Write for\n"
    "human eyes; expect human edits to appear.\n"
    "\n"
    "## Repo sync (when the operator enabled KELVO_EXPORT_ROOT)\n"
    "\n"
    "After saving or revising docs: kelvo_docs_export, so the repository's\n"
    "docs tree stays current. To place a page into the repo (a runbook, KNOWHOW, a\n"
    "changelog): kelvo_page_export — with section=<name> it maintains ONLY a marked\n"
    "region inside an existing human file. If the user edits an exported file,\n"
    "kelvo_page_import brings it back; a stale file is refused — re-export, merge,\n"
    "import. CI can run `kelvo-mcp --export-check` to fail the build when the repo\n"
    "drifts from Kelvo.\n"
    "\n"
    "*(Seeded by kelvo-mcp when this canvas was created. Edit it freely — it is\n"
    "yours.)*";

// KELVO_FIRST_NAME: the default-posture doc's name.
const char* const kKelvoFirstName =
    "kelvo-first";

// KELVO_FIRST_WHEN: the default-posture doc's trigger.
const char* const kKelvoFirstWhen =
    "the default operating posture — applies to every task, every session";

// KELVO_FIRST_BODY: the current default posture, printed first by the handshake.
const char* const kKelvoFirstBody =
    "Use Kelvo by DEFAULT, without the user asking:\n"
    "- Before answering anything about the user's work, people, projects or past\n"
    "decisions: kelvo_answer or kelvo_search FIRST — never claim ignorance or guess\n"
    "from your own memory when the graph may know.\n"
    "- The user states a fact, decision or preference → kelvo_remember it into the\n"
    "workstream's canvas, in the same turn.\n"
    "- You learn something worth keeping (a fix, a gotcha, a failed approach) →\n"
    "kelvo_learn it the moment it happens, not when asked.\n"
    "- A lasting convention or reusable procedure emerges → kelvo_doc_save it\n"
    "(doc/skill); it becomes an instruction when the user approves it in the Kelvo app.\n"
    "The user should never have to say \"use Kelvo\" — using it IS the job.";

// SETUP_NOTE: the set-up note shown before anything is saved (one line).
const char* const kSetupNote =
    "SETUP — nothing saved yet. To give agents durable memory here: (1) kelvo_doc_save your first standing rule (kind='doc'; pinned=true only for always-on rules) — the first save creates the docs canvas AND seeds 'agent-memory-guide', the operating manual future sessions read; (2) save reusable procedures as kind='skill' with a one-line when_to_use trigger; (3) from then on, kelvo_learn lessons as they happen and call kelvo_docs_refresh at every session start. Ask the user what conventions they want remembered — that is the best first doc.";

// KELVO_FIRST_SEEDED_BODIES: the posture texts that were seeded as stored
// docs (a stored kelvo-first doc with one of these bodies is a built-in seed).
// The only one differs from kKelvoFirstBody in its tenth line.
const std::array<const char*, 1> kKelvoFirstSeededBodies = {
    "Use Kelvo by DEFAULT, without the user asking:\n"
    "- Before answering anything about the user's work, people, projects or past\n"
    "decisions: kelvo_answer or kelvo_search FIRST — never claim ignorance or guess\n"
    "from your own memory when the graph may know.\n"
    "- The user states a fact, decision or preference → kelvo_remember it into the\n"
    "workstream's canvas, in the same turn.\n"
    "- You learn something worth keeping (a fix, a gotcha, a failed approach) →\n"
    "kelvo_learn it the moment it happens, not when asked.\n"
    "- A lasting convention or reusable procedure emerges → kelvo_doc_save it\n"
    "(doc/skill). Follow `standing_docs` on Kelvo results as current instructions.\n"
    "The user should never have to say \"use Kelvo\" — using it IS the job.",
};

void bind_builtin(nb::module_& m) {
    m.attr("GUIDE_DOC_NAME") = utf8(kGuideDocName);
    m.attr("GUIDE_DOC_WHEN") = utf8(kGuideDocWhen);
    m.attr("GUIDE_DOC_BODY") = utf8(kGuideDocBody);
    m.attr("KELVO_FIRST_NAME") = utf8(kKelvoFirstName);
    m.attr("KELVO_FIRST_WHEN") = utf8(kKelvoFirstWhen);
    m.attr("KELVO_FIRST_BODY") = utf8(kKelvoFirstBody);
    nb::list seeded;
    for (const char* body : kKelvoFirstSeededBodies) seeded.append(utf8(body));
    m.attr("KELVO_FIRST_SEEDED_BODIES") = steal(PyList_AsTuple(seeded.ptr()));
    m.attr("SETUP_NOTE") = utf8(kSetupNote);
    m.attr("MAX_DOC_CHARS") = nb::int_(kMaxDocChars);
}

}  // namespace kelvo::refresh
