#include "common/tool_names.hpp"

namespace kelvo {

namespace {

inline bool name_char(Py_UCS4 c) { return (c >= 'a' && c <= 'z') || c == '_'; }

template <class Unit>
ToolNameMatch scan(std::span<const Unit> s, size_t i) {
    const size_t n = s.size();
    for (; i + 7 <= n; ++i) {
        if (s[i] != 'k' || s[i + 1] != 'e' || s[i + 2] != 'l' || s[i + 3] != 'v' || s[i + 4] != 'o' ||
            s[i + 5] != '_' || !name_char(s[i + 6]))
            continue;
        size_t e = i + 7;
        while (e < n && name_char(s[e])) ++e;
        return {static_cast<Py_ssize_t>(i), static_cast<Py_ssize_t>(e), s[e - 1] == '_' && s[e - 2] == '_'};
    }
    return {};
}

}  // namespace

ToolNameMatch next_tool_name(const StrView& text, Py_ssize_t from) {
    return text.visit([&](auto s) { return scan(s, static_cast<size_t>(from)); });
}

}  // namespace kelvo
