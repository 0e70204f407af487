// Doc names and the doc marker. Shared with the registry scan of this module.
#pragma once

#include "common/py.hpp"

namespace kelvo::refresh {

// The marker record (a new dict: name, kind, when_to_use, pinned, v) read from
// a block text, or None for every malformed text.
nb::object parse_sentinel(nb::handle text);

// Whether `name` is a str matching _NAME_RE (^[a-z0-9][a-z0-9._-]{0,63}$).
bool valid_name(nb::handle name);

}  // namespace kelvo::refresh
