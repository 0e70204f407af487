#include "refresh/bindings.hpp"

namespace kelvo::refresh {

void bind_marker(nb::module_&) {}

}  // namespace kelvo::refresh
