// The refresh module's binding pieces, one per behaviour; module.cpp calls
// them in order so that the module's names appear in a stable order.
#pragma once

#include "common/py.hpp"

namespace kelvo::refresh {

void bind_markdown(nb::module_& m);   // blocks <-> Markdown
void bind_marker(nb::module_& m);     // doc names and the doc marker
void bind_builtin(nb::module_& m);    // built-in docs and fixed texts
void bind_registry(nb::module_& m);   // DocInfo, DocsConfig, the scan, approvals
void bind_digest(nb::module_& m);     // the digest
void bind_handshake(nb::module_& m);  // the handshake text
void bind_timer(nb::module_& m);      // RefreshState

// A str made at load from one of the module's UTF-8 texts.
inline nb::str utf8(const char* text) { return nb::steal<nb::str>(steal(PyUnicode_FromString(text)).release()); }

}  // namespace kelvo::refresh
