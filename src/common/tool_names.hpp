// Tool names in text: "kelvo_" and the longest run of lowercase ASCII letters
// and underscores after it, left to right and never overlapping, as
// re.finditer("kelvo_[a-z_]+") finds them. A match that ends in two
// underscores is a marker key (such as __kelvo_agent_doc__), never a tool;
// each caller decides what to do with one.
#pragma once

#include <type_traits>

#include "common/text.hpp"

namespace kelvo {

struct ToolNameMatch {
    Py_ssize_t begin = -1, end = -1;
    bool marker = false;  // ends in "__"
    bool found() const { return begin >= 0; }
};

// The first match in `text` at or after `from`; !found() when there is none.
ToolNameMatch next_tool_name(const StrView& text, Py_ssize_t from);

// Call f(match) for every match in the str `text`, in order.
template <class F>
void each_tool_name(nb::handle text, F&& f) {
    const StrView view(text);
    for (ToolNameMatch m = next_tool_name(view, 0); m.found(); m = next_tool_name(view, m.end)) f(m);
}

// Name substitution, as re.sub("kelvo_[a-z_]+", f, text) does it with an f
// that leaves marker keys alone: every other name becomes shown(name), a
// str's own characters (whatever its __str__ says), None nothing. Any other
// result is refused with re.sub's TypeError once every name was shown. The
// result is an exact str: `text` itself when no name changed.
using NameShown = nb::object (*)(void* context, nb::handle name);
nb::object substitute_names(nb::handle text, NameShown shown, void* context);

template <class F>
nb::object substitute_names(nb::handle text, F&& shown) {
    using Fn = std::remove_reference_t<F>;
    return substitute_names(text, [](void* c, nb::handle name) { return (*static_cast<Fn*>(c))(name); },
                            const_cast<void*>(static_cast<const void*>(&shown)));
}

}  // namespace kelvo
