// Tool names in free text: "kelvo_" and the longest run of lowercase ASCII
// letters and underscores after it. A name ending in two underscores is a
// marker key (such as __kelvo_agent_doc__), never a tool.
#include "instructions/instructions.hpp"

#include <utility>
#include <vector>

#include "common/text.hpp"

namespace kelvo::instructions {

namespace {

PyObject* tool_re = nullptr;  // the same pattern, compiled by `re`, for the host
PyObject* s_findall = nullptr;
PyObject* s_empty = nullptr;

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
    // Pieces joined at the end, as re.sub with a function builds its result:
    // a None from `display` stands for nothing, anything else not a str is
    // refused by the join.
    nb::object pieces = steal(PyList_New(0));
    auto add = [&](nb::handle piece) {
        if (PyList_Append(pieces.ptr(), piece.ptr()) < 0) raise_current();
    };
    StrView view(text);
    size_t last = 0;
    for (const Span& m : found) {
        if (last < m.first) add(slice(text, last, m.first));
        nb::object name = slice(text, m.first, m.second);
        if (is_marker(view, m)) {
            add(name);
        } else {
            nb::object shown = steal(PyObject_CallOneArg(display.ptr(), name.ptr()));
            if (!shown.is_none()) add(shown);
        }
        last = m.second;
    }
    if (last < view.size()) add(slice(text, last, view.size()));
    return steal(PyUnicode_Join(s_empty, pieces.ptr()));
}

void bind_tool_names(nb::module_& m) {
    s_findall = steal(PyUnicode_FromString("findall")).release().ptr();
    s_empty = steal(PyUnicode_FromString("")).release().ptr();
    tool_re = import_attr("re", "compile")("kelvo_[a-z_]+").release().ptr();
    m.def("mentions", &mentions, nb::arg("text").none(),
          "The set of tool names in text, leaving out marker keys that end in two underscores.");
    m.attr("_TOOL_RE") = borrow(tool_re);
}

}  // namespace kelvo::instructions
