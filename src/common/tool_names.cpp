#include "common/tool_names.hpp"

#include <memory>

#include "common/writer.hpp"

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

nb::object substitute_names(nb::handle text, NameShown shown, void* context) {
    std::unique_ptr<TextWriter> w;  // made at the first name that changes
    Py_ssize_t copied = 0, last = 0;
    Py_ssize_t piece = 0;  // the place in re.sub's join of the next piece
    nb::object refused;
    Py_ssize_t refused_at = 0;
    each_tool_name(text, [&](const ToolNameMatch& m) {
        piece += m.begin > last;
        last = m.end;
        if (m.marker) return void(++piece);
        nb::object name = steal(PyUnicode_Substring(text.ptr(), m.begin, m.end));
        nb::object r = shown(context, name);
        if (r.ptr() == name.ptr()) return void(++piece);
        if (!w) w = std::make_unique<TextWriter>();
        w->sub(text, copied, m.begin);
        copied = m.end;
        if (r.is_none()) return;
        if (!PyUnicode_Check(r.ptr())) {
            if (!refused.is_valid()) refused = r, refused_at = piece;
        } else {
            w->text(r);
        }
        ++piece;
    });
    if (refused.is_valid())
        raise_format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found", refused_at,
                     Py_TYPE(refused.ptr())->tp_name);
    if (w) return w->sub(text, copied, PyUnicode_GET_LENGTH(text.ptr())).finish();
    if (PyUnicode_CheckExact(text.ptr())) return borrow(text);
    return steal(PyUnicode_FromObject(text.ptr()));
}

}  // namespace kelvo
