// kelvo_mcp.capabilities: what the connected engine serves, and which tools to
// hide when it has no pages.
#include "capabilities/capabilities.hpp"

namespace nb = nanobind;
using namespace kelvo::capabilities;

NB_MODULE(capabilities, m) {
    kelvo::InitOnce once("kelvo_mcp.capabilities");
    m.doc() = "Engine capabilities: whether pages are served, the key's role and scopes, the tools to hide.";
    bind_record(m);
    bind_resolve(m);
    bind_probe(m);
    m.attr("__all__") = nb::make_tuple("Capabilities", "NEEDS_PAGES", "resolve");
    once.done();
}
