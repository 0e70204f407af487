// kelvo_mcp.instructions: the server instruction text for the tools that a
// connection shows.
#include "instructions/instructions.hpp"

namespace nb = nanobind;
using namespace kelvo::instructions;

NB_MODULE(instructions, m) {
    kelvo::InitOnce once("kelvo_mcp.instructions");
    m.doc() = "Server instructions: the host's instruction text tailored to the tools a connection shows.";
    load_texts(m);
    bind_rewrites(m);
    bind_paragraphs(m);
    bind_tool_names(m);
    bind_render(m);
    m.attr("__all__") = nb::make_tuple("COMPACT_REWRITES", "NEEDS", "mentions", "paragraphs", "render");
    once.done();
}
