#include "refresh/bindings.hpp"

namespace kelvo::refresh {

void bind_builtin(nb::module_&) {}

}  // namespace kelvo::refresh
