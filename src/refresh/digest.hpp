// The line that stands for a doc in short listings, shared by the digest and
// the handshake's skills section.
#pragma once

#include "common/py.hpp"

namespace kelvo::refresh {

// The doc's trigger when it has one, else the first non-blank line of its
// body, stripped and cut to 120 code points ("" when there is none).
nb::object one_liner(nb::handle doc);

// The DIGEST_NOTE and UNREPORTED_NOTE texts (made at load).
nb::handle unreported_note();

}  // namespace kelvo::refresh
