// Blocks <-> Markdown (the small dialect of agent docs). These entry points
// are shared with the registry, digest and handshake code of this module.
#pragma once

#include <cstdint>
#include <vector>

#include "common/py.hpp"

namespace kelvo::refresh {

// A map element of a block list with the members the conversion reads, each
// read once (an absent member is an invalid object).
struct RawBlock {
    nb::object map, order, text, type;
};

// The map elements of `blocks` (None or empty gives none), stably sorted by
// their `order` key. Raises the float() conversion error on an unreadable
// order; nothing is returned then.
std::vector<RawBlock> sorted_blocks(nb::handle blocks);

// A block's text: absent or falsy gives "", a str as it is, any other value
// in its string form (a raising __str__ propagates).
nb::str block_text(const RawBlock& block);

// Steps 2-4 of block to Markdown on blocks from sorted_blocks. The block at
// `marker` (when in range) is a doc's marker: left out and ending a list run
// like every marker-like block, whatever its text says.
nb::str markdown_from_sorted(const std::vector<RawBlock>& sorted, size_t marker = SIZE_MAX);

// blocks_to_markdown(blocks) and markdown_to_blocks(text) as exported.
nb::str blocks_to_markdown(nb::handle blocks);
nb::list markdown_to_blocks(nb::handle text);

// Whether `text_str` (a str) matches _ANY_SENTINEL_RE at its start.
bool any_sentinel_prefix(nb::handle text_str);

// The error for a truthy non-str where a text is expected: the AttributeError
// Python gives for the missing str method `method`, or, for a value that has
// such a method but is no str (bytes), a TypeError.
[[noreturn]] void raise_not_text(nb::handle value, const char* method);

}  // namespace kelvo::refresh
