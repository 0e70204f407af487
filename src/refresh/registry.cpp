#include "refresh/bindings.hpp"

namespace kelvo::refresh {

void bind_registry(nb::module_&) {}

}  // namespace kelvo::refresh
