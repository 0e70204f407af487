#include "refresh/bindings.hpp"

namespace kelvo::refresh {

void bind_markdown(nb::module_&) {}

}  // namespace kelvo::refresh
