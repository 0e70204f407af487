// The doc registry as the digest and the handshake read it: DocInfo fields
// and the approval predicates. A DocInfo is read straight from its slots;
// any other object that stands in for one is read through its attributes,
// as Python code would read it.
#pragma once

#include "common/py.hpp"

namespace kelvo::refresh {

inline constexpr long kMaxRegistryPages = 50;
inline constexpr long kDefaultRefreshCalls = 12;
inline constexpr double kDefaultRefreshMinutes = 10.0;
inline constexpr double kRetrySeconds = 60.0;
inline constexpr long kDefaultDigestChars = 2000;
inline constexpr long kMinDigestChars = 200;
inline constexpr double kDigestBuildBudgetSeconds = 6.0;
inline constexpr long kHandshakeChars = 4000;

// DocInfo fields in declaration order.
enum class Field { name, kind, title, when_to_use, pinned, page_id, updated_at, body, v, approval };

// Interned words shared by the registry, the digest and the handshake; made
// once at load and kept for the life of the process.
struct Words {
    PyObject *approved, *changed, *none, *unknown, *skill, *empty;
};
const Words& words();

nb::object doc_field(nb::handle doc, Field f);

// `body.strip()`: a str body trimmed directly, anything else through its own
// strip() as Python would call it.
nb::object stripped(nb::handle body);

bool requests_authority(nb::handle doc);
bool is_instruction(nb::handle doc);
bool is_builtin_seed(nb::handle doc);
// A new list of the docs (any iterable) without the built-in seeds.
nb::list visible_docs(nb::handle docs);
bool approvals_reported(nb::handle docs);
// The 12-hex-digit version of the approved instruction set.
nb::str instructions_version(nb::handle docs);

}  // namespace kelvo::refresh
