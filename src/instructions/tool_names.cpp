// Tool names in free text: "kelvo_" and the longest run of lowercase ASCII
// letters and underscores after it. A name ending in two underscores is a
// marker key (such as __kelvo_agent_doc__), never a tool.
#include "instructions/instructions.hpp"

#include <utility>
#include <vector>

#include "common/text.hpp"
#include "common/writer.hpp"

namespace kelvo::instructions {

namespace {

PyObject* tool_re = nullptr;  // the same pattern, compiled by `re`, for the host
PyObject* s_findall = nullptr;

using Span = std::pair<size_t, size_t>;

inline bool name_char(char32_t c) { return (c >= U'a' && c <= U'z') || c == U'_'; }

// Non-overlapping matches, left to right, as re.finditer would give them.
std::vector<Span> matches(nb::handle text) {
    std::vector<Span> out;
    StrView(text).visit([&](auto s) {
        const size_t n = s.size();
        size_t i = 0;
        while (i + 7 <= n) {
            if (s[i] != 'k' || s[i + 1] != 'e' || s[i + 2] != 'l' || s[i + 3] != 'v' || s[i + 4] != 'o' ||
                s[i + 5] != '_' || !name_char(s[i + 6])) {
                ++i;
                continue;
            }
            size_t j = i + 7;
            while (j < n && name_char(s[j])) ++j;
            out.emplace_back(i, j);
            i = j;
        }
    });
    return out;
}

// The match [b, e) ends in "__" (a match is at least "kelvo_" plus one).
bool is_marker(const StrView& v, const Span& m) { return v[m.second - 1] == U'_' && v[m.second - 2] == U'_'; }

nb::object slice(nb::handle text, size_t b, size_t e) {
    return steal(PyUnicode_Substring(text.ptr(), static_cast<Py_ssize_t>(b), static_cast<Py_ssize_t>(e)));
}

nb::object mentions(nb::handle text) {
    if (!PyUnicode_Check(text.ptr())) {
        // Let the pattern refuse it in its own words (bytes, numbers, ...).
        steal(PyObject_CallMethodOneArg(tool_re, s_findall, text.ptr()));
        raise(PyExc_TypeError, "expected string");
    }
    nb::object out = steal(PySet_New(nullptr));
    StrView view(text);
    for (const Span& m : matches(text))
        if (!is_marker(view, m) && PySet_Add(out.ptr(), slice(text, m.first, m.second).ptr()) < 0) raise_current();
    return out;
}

}  // namespace

nb::object respell(nb::object text, nb::handle display) {
    if (!PyUnicode_Check(text.ptr())) {
        steal(PyObject_CallMethodOneArg(tool_re, s_findall, text.ptr()));
        raise(PyExc_TypeError, "expected string");
    }
    const std::vector<Span> found = matches(text);
    if (found.empty()) return text;
    // Written as re.sub with a function builds its result, joining the
    // pieces: a None from `display` stands for nothing, and anything else not
    // a str is refused as str.join refuses it, once every name was shown.
    TextWriter w;
    Py_ssize_t item = 0;  // the piece's place in that join
    nb::object refused;
    Py_ssize_t refused_at = 0;
    StrView view(text);
    size_t last = 0;
    for (const Span& m : found) {
        if (last < m.first) w.sub(text, static_cast<Py_ssize_t>(last), static_cast<Py_ssize_t>(m.first)), ++item;
        if (is_marker(view, m)) {
            w.sub(text, static_cast<Py_ssize_t>(m.first), static_cast<Py_ssize_t>(m.second));
            ++item;
        } else {
            nb::object shown = steal(PyObject_CallOneArg(display.ptr(), slice(text, m.first, m.second).ptr()));
            if (!shown.is_none()) {
                if (!PyUnicode_Check(shown.ptr()) && !refused.is_valid()) refused = shown, refused_at = item;
                else if (!refused.is_valid()) w.plain(shown);
                ++item;
            }
        }
        last = m.second;
    }
    if (last < view.size()) w.sub(text, static_cast<Py_ssize_t>(last), static_cast<Py_ssize_t>(view.size()));
    if (refused.is_valid()) {
        PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found", refused_at,
                     Py_TYPE(refused.ptr())->tp_name);
        raise_current();
    }
    return w.finish();
}

void bind_tool_names(nb::module_& m) {
    s_findall = interned("findall");
    tool_re = import_attr("re", "compile")("kelvo_[a-z_]+").release().ptr();
    m.def("mentions", &mentions, nb::arg("text").none(),
          "The set of tool names in text, leaving out marker keys that end in two underscores.");
    m.attr("_TOOL_RE") = borrow(tool_re);
}

}  // namespace kelvo::instructions
