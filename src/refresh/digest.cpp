#include "refresh/bindings.hpp"

namespace kelvo::refresh {

void bind_digest(nb::module_&) {}

}  // namespace kelvo::refresh
