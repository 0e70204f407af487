// kelvo_mcp.refresh: agent docs on the docs canvas -- Markdown and blocks, the
// doc marker, the registry scan and approvals, the digest, the handshake text,
// the refresh timer and the built-in docs.
#include "refresh/bindings.hpp"

namespace kelvo::refresh {
void bind_exports(nb::module_& m);  // the export list, set once every name exists
}

using namespace kelvo::refresh;

NB_MODULE(refresh, m) {
    m.doc() = "Agent docs: Markdown and blocks, doc marker, registry, digest, handshake, refresh timer.";
    bind_markdown(m);
    bind_marker(m);
    bind_builtin(m);
    bind_registry(m);
    bind_digest(m);
    bind_handshake(m);
    bind_timer(m);
    bind_exports(m);
}
