// The pieces of kelvo_mcp.instructions: paragraph selection, the sentence
// swaps of the compact profile, tool-name respelling, and render.
#pragma once

#include "common/py.hpp"

namespace kelvo::instructions {

// Load the host's two instruction texts from its prompt module and bind them
// in the module; the module does not load without them.
void load_texts(nb::module_& m);

// The module's namespace. The functions read the texts and NEEDS through it,
// so a host that rebinds one (a test, say) is heard.
extern ModuleGlobals globals;

void bind_rewrites(nb::module_& m);   // COMPACT_REWRITES
void bind_paragraphs(nb::module_& m); // _PAGE_AUTHORING, _DOCS, _REPO_SYNC, NEEDS, paragraphs
void bind_tool_names(nb::module_& m); // _TOOL_RE, mentions
void bind_render(nb::module_& m);     // render

// paragraphs(): the full text split at every blank line.
nb::object paragraphs();
// The paragraphs selected for the visible names `vis` (a set), joined by a
// blank line; a paragraph count that differs from NEEDS is a RuntimeError.
nb::object selected_text(nb::handle vis);
// Every (old, new) of `rewrites` applied in order with str.replace.
nb::object apply_rewrites(nb::object text, nb::handle rewrites);
// Every tool name in `text` replaced by display(name); marker keys stay.
nb::object respell(nb::object text, nb::handle display);

}  // namespace kelvo::instructions
