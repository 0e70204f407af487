// kelvo_mcp.refresh: agent docs on the docs canvas -- Markdown and blocks, the
// doc marker, the registry scan and approvals, the digest, the handshake text,
// the refresh timer and the built-in docs.
#include "refresh/bindings.hpp"

namespace {

// The export list: the names a host imports with `from ... import *`,
// grouped as the module is. Private helpers and tables stay reachable by
// name but are not listed.
constexpr const char* kExports[] = {
    // Markdown and blocks
    "blocks_to_markdown", "markdown_to_blocks",
    // doc names and the doc marker
    "valid_name", "make_sentinel", "parse_sentinel", "SENTINEL_KEY", "DOC_KINDS", "MAX_DOC_NAME", "MAX_WHEN_TO_USE",
    // built-in docs and fixed texts
    "GUIDE_DOC_NAME", "GUIDE_DOC_WHEN", "GUIDE_DOC_BODY", "KELVO_FIRST_NAME", "KELVO_FIRST_WHEN", "KELVO_FIRST_BODY",
    "KELVO_FIRST_SEEDED_BODIES", "SETUP_NOTE", "MAX_DOC_CHARS",
    // registry and approvals
    "DocInfo", "DocsConfig", "APPROVED", "CHANGED", "NONE", "UNKNOWN", "MAX_REGISTRY_PAGES", "DEFAULT_DOCS_CANVAS",
    "doc_from_page", "derive_registry", "requests_authority", "is_instruction", "is_builtin_seed", "visible_docs",
    "approvals_reported", "instructions_version",
    // digest (UNREPORTED_NOTE lets a host recognise the unreported state)
    "build_digest", "DEFAULT_DIGEST_CHARS", "DIGEST_BUILD_BUDGET_SECONDS", "UNREPORTED_NOTE",
    // handshake text
    "handshake_text", "HANDSHAKE_CHARS",
    // refresh timer
    "RefreshState", "DEFAULT_REFRESH_CALLS", "DEFAULT_REFRESH_MINUTES", "RETRY_SECONDS",
};

}  // namespace

using namespace kelvo::refresh;

NB_MODULE(refresh, m) {
    kelvo::InitOnce once("kelvo_mcp.refresh");
    m.doc() = "Agent docs: Markdown and blocks, doc marker, registry, digest, handshake, refresh timer.";
    bind_markdown(m);
    bind_marker(m);
    bind_builtin(m);
    bind_registry(m);
    bind_digest(m);
    bind_handshake(m);
    bind_timer(m);
    kelvo::nb::list all;
    for (const char* name : kExports) all.append(kelvo::nb::str(name));
    m.attr("__all__") = all;
    once.done();
}
