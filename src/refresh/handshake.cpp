#include "refresh/bindings.hpp"

namespace kelvo::refresh {

void bind_handshake(nb::module_&) {}

}  // namespace kelvo::refresh
