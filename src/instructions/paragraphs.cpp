// The full text is one paragraph per topic; a paragraph is kept when the
// connection shows at least one of the tools it is about, or when it is about
// no tools in particular.
#include "instructions/instructions.hpp"

#include <array>
#include <vector>

#include "common/value.hpp"

namespace kelvo::instructions {

namespace {

const char* const kPageAuthoring[] = {
    "kelvo_page_create", "kelvo_page_write", "kelvo_page_append", "kelvo_page_update",
    "kelvo_page_insert", "kelvo_page_move",  "kelvo_page_rename", "kelvo_page_restore",
};
const char* const kDocs[] = {"kelvo_docs_refresh", "kelvo_doc_get", "kelvo_doc_save", "kelvo_learn"};
const char* const kRepoSync[] = {"kelvo_docs_export", "kelvo_page_export", "kelvo_page_import"};

enum Group { kAlways = -1, kAuthoring = 0, kDocsGroup = 1, kSync = 2 };

// The topic of each paragraph, in order.
constexpr std::array<int, 9> kNeeds = {kAlways,   kAuthoring, kAuthoring, kAuthoring, kAuthoring,
                                       kAuthoring, kAlways,    kDocsGroup, kSync};

std::vector<PyObject*> group_names[3];  // the names of each group, as strs
PyObject* s_blank_line = nullptr;        // "\n\n"
PyObject* full_paragraphs = nullptr;     // the full text split once, at load
PyObject* compact_paragraphs = nullptr;  // the same with COMPACT_REWRITES made, or null
PyObject* needs_loaded = nullptr;        // NEEDS as made at load
PyObject* s_full_name = nullptr;         // "SERVER_INSTRUCTIONS"
PyObject* s_needs_name = nullptr;        // "NEEDS"
PyObject* s_split = nullptr;

template <size_t N>
nb::object name_set(const char* const (&names)[N], std::vector<PyObject*>& keep) {
    nb::object list = steal(PyList_New(0));
    for (const char* n : names) {
        nb::object s = steal(PyUnicode_FromString(n));
        if (PyList_Append(list.ptr(), s.ptr()) < 0) raise_current();
        keep.push_back(s.release().ptr());
    }
    return steal(PyFrozenSet_New(list.ptr()));
}

// Whether the visible set holds any name of `group`.
bool shows_any(nb::handle vis, int group) {
    for (PyObject* name : group_names[group]) {
        int r = PySet_Contains(vis.ptr(), name);
        if (r < 0) raise_current();
        if (r) return true;
    }
    return false;
}

}  // namespace

nb::object paragraphs() {
    nb::object full = global(s_full_name);
    if (full.ptr() == texts.full)
        return steal(PyList_GetSlice(full_paragraphs, 0, PyList_GET_SIZE(full_paragraphs)));
    return steal(PyObject_CallMethodOneArg(full.ptr(), s_split, s_blank_line));
}

namespace {

[[noreturn]] void count_mismatch(Py_ssize_t paras, Py_ssize_t needs) {
    PyErr_Format(PyExc_RuntimeError, "SERVER_INSTRUCTIONS has %zd paragraphs, NEEDS has %zd", paras, needs);
    raise_current();
}

// The module's own NEEDS over a list of paragraphs: each topic is looked up
// in the visible set at most once.
nb::object select_by_topic(PyObject* paras, nb::handle vis) {
    const Py_ssize_t count = PyList_GET_SIZE(paras);
    if (count != static_cast<Py_ssize_t>(kNeeds.size())) count_mismatch(count, static_cast<Py_ssize_t>(kNeeds.size()));
    int shown[3] = {-1, -1, -1};  // per topic, decided on first use
    nb::object kept = steal(PyList_New(0));
    for (size_t k = 0; k < kNeeds.size(); ++k) {
        const int g = kNeeds[k];
        bool keep = g == kAlways;
        if (!keep) {
            if (shown[g] < 0) shown[g] = shows_any(vis, g) ? 1 : 0;
            keep = shown[g] == 1;
        }
        if (keep && PyList_Append(kept.ptr(), PyList_GET_ITEM(paras, static_cast<Py_ssize_t>(k))) < 0)
            raise_current();
    }
    return kept;
}

// Any other NEEDS (or paragraphs): paired by position, a paragraph is kept
// when its set is falsy or `need & vis` is truthy.
nb::object select_generic(nb::handle paras, nb::handle needs, nb::handle vis) {
    const Py_ssize_t count = PyObject_Size(paras.ptr());
    if (count < 0) raise_current();
    const Py_ssize_t want = PyObject_Size(needs.ptr());
    if (want < 0) raise_current();
    if (count != want) count_mismatch(count, want);
    nb::object kept = steal(PyList_New(0));
    nb::object pi = steal(PyObject_GetIter(paras.ptr()));
    nb::object ni = steal(PyObject_GetIter(needs.ptr()));
    while (true) {
        PyObject* p = PyIter_Next(pi.ptr());
        if (!p) break;
        nb::object para = nb::steal(p);
        PyObject* n = PyIter_Next(ni.ptr());
        if (!n) break;
        nb::object need = nb::steal(n);
        if (!truthy(need) || truthy(steal(PyNumber_And(need.ptr(), vis.ptr()))))
            if (PyList_Append(kept.ptr(), para.ptr()) < 0) raise_current();
    }
    if (PyErr_Occurred()) raise_current();
    return kept;
}

}  // namespace

nb::object selected_text(nb::handle vis, nb::handle rewrites, bool& rewritten) {
    const bool loaded = global(s_full_name).ptr() == texts.full;
    rewritten = loaded && compact_paragraphs && rewrites.ptr() == compact_rewrites();
    nb::object paras = !loaded ? paragraphs() : borrow(rewritten ? compact_paragraphs : full_paragraphs);
    nb::object needs = global(s_needs_name);
    nb::object kept = needs.ptr() == needs_loaded && PyList_CheckExact(paras.ptr())
                          ? select_by_topic(paras.ptr(), vis)
                          : select_generic(paras, needs, vis);
    return steal(PyUnicode_Join(s_blank_line, kept.ptr()));
}

void bind_paragraphs(nb::module_& m) {
    s_blank_line = steal(PyUnicode_FromString("\n\n")).release().ptr();
    full_paragraphs = steal(PyUnicode_Split(texts.full, s_blank_line, -1)).release().ptr();
    // The swaps made paragraph by paragraph give the same text as made on
    // any join of them when no swap's old text holds a line break (a match
    // then never reaches across the blank line between two paragraphs).
    bool per_paragraph = true;
    nb::object swaps = borrow(compact_rewrites());
    for (nb::handle pair : swaps) {
        nb::object old_text = borrow(PyTuple_GET_ITEM(pair.ptr(), 0));
        if (PyUnicode_FindChar(old_text.ptr(), '\n', 0, PyUnicode_GET_LENGTH(old_text.ptr()), 1) != -1 ||
            PyUnicode_GET_LENGTH(old_text.ptr()) == 0)
            per_paragraph = false;
    }
    if (per_paragraph) {
        const Py_ssize_t n = PyList_GET_SIZE(full_paragraphs);
        nb::object swapped = steal(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            PyList_SET_ITEM(swapped.ptr(), i,
                            apply_rewrites(borrow(PyList_GET_ITEM(full_paragraphs, i)), swaps).release().ptr());
        compact_paragraphs = swapped.release().ptr();
    }
    nb::object groups[3] = {
        name_set(kPageAuthoring, group_names[kAuthoring]),
        name_set(kDocs, group_names[kDocsGroup]),
        name_set(kRepoSync, group_names[kSync]),
    };
    nb::object none = steal(PyFrozenSet_New(nullptr));
    nb::object needs = steal(PyTuple_New(static_cast<Py_ssize_t>(kNeeds.size())));
    for (size_t k = 0; k < kNeeds.size(); ++k) {
        nb::handle set = kNeeds[k] == kAlways ? none : groups[kNeeds[k]];
        PyTuple_SET_ITEM(needs.ptr(), static_cast<Py_ssize_t>(k), Py_NewRef(set.ptr()));
    }
    m.attr("NEEDS") = needs;
    needs_loaded = needs.release().ptr();
    s_full_name = interned("SERVER_INSTRUCTIONS");
    s_needs_name = interned("NEEDS");
    s_split = interned("split");
    m.def("paragraphs", &paragraphs, "The paragraphs of SERVER_INSTRUCTIONS: the text split at every blank line.");
    m.attr("_PAGE_AUTHORING") = groups[kAuthoring];
    m.attr("_DOCS") = groups[kDocsGroup];
    m.attr("_REPO_SYNC") = groups[kSync];
}

}  // namespace kelvo::instructions
