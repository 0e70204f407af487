#include "refresh/markdown.hpp"

#include "refresh/bindings.hpp"

namespace kelvo::refresh {

// Stubs: the conversion lands in the next commit.
std::vector<nb::object> sorted_map_blocks(nb::handle) { return {}; }
nb::str block_text(nb::handle) { return nb::str(""); }
nb::str markdown_from_sorted(const std::vector<nb::object>&) { return nb::str(""); }
nb::str blocks_to_markdown(nb::handle blocks) { return markdown_from_sorted(sorted_map_blocks(blocks)); }
nb::list markdown_to_blocks(nb::handle) { return nb::list(); }
bool any_sentinel_prefix(nb::handle) { return false; }

void bind_markdown(nb::module_&) {}

}  // namespace kelvo::refresh
