#include "refresh/bindings.hpp"

namespace kelvo::refresh {

void bind_timer(nb::module_&) {}

}  // namespace kelvo::refresh
