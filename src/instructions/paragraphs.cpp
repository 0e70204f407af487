// The full text is one paragraph per topic; a paragraph is kept when the
// connection shows at least one of the tools it is about, or when it is about
// no tools in particular.
#include "instructions/instructions.hpp"

#include <array>

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

PyObject* s_blank_line = nullptr;  // "\n\n"
PyObject* s_full_name = nullptr;   // "SERVER_INSTRUCTIONS"
PyObject* s_needs_name = nullptr;  // "NEEDS"
PyObject* s_split = nullptr;

template <size_t N>
nb::object name_set(const char* const (&names)[N]) {
    nb::object list = steal(PyList_New(0));
    for (const char* n : names)
        if (PyList_Append(list.ptr(), steal(PyUnicode_FromString(n)).ptr()) < 0) raise_current();
    return steal(PyFrozenSet_New(list.ptr()));
}

}  // namespace

nb::object paragraphs() {
    nb::object full = globals[s_full_name];
    return steal(PyObject_CallMethodOneArg(full.ptr(), s_split, s_blank_line));
}

namespace {

[[noreturn]] void count_mismatch(Py_ssize_t paras, Py_ssize_t needs) {
    raise_format(PyExc_RuntimeError, "SERVER_INSTRUCTIONS has %zd paragraphs, NEEDS has %zd", paras, needs);
}

// Paragraphs and NEEDS paired by position: a paragraph is kept when its set
// is falsy or `need & vis` is truthy.
nb::object select(nb::handle paras, nb::handle needs, nb::handle vis) {
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

nb::object selected_text(nb::handle vis) {
    nb::object kept = select(paragraphs(), globals[s_needs_name], vis);
    return steal(PyUnicode_Join(s_blank_line, kept.ptr()));
}

void bind_paragraphs(nb::module_& m) {
    s_blank_line = steal(PyUnicode_FromString("\n\n")).release().ptr();
    nb::object groups[3] = {
        name_set(kPageAuthoring),
        name_set(kDocs),
        name_set(kRepoSync),
    };
    nb::object none = steal(PyFrozenSet_New(nullptr));
    nb::object needs = steal(PyTuple_New(static_cast<Py_ssize_t>(kNeeds.size())));
    for (size_t k = 0; k < kNeeds.size(); ++k) {
        nb::handle set = kNeeds[k] == kAlways ? none : groups[kNeeds[k]];
        PyTuple_SET_ITEM(needs.ptr(), static_cast<Py_ssize_t>(k), Py_NewRef(set.ptr()));
    }
    m.attr("NEEDS") = needs;
    s_full_name = interned("SERVER_INSTRUCTIONS");
    s_needs_name = interned("NEEDS");
    s_split = interned("split");
    m.def("paragraphs", &paragraphs, "The paragraphs of SERVER_INSTRUCTIONS: the text split at every blank line.",
          nb::sig("def paragraphs() -> list[str]"));
    m.attr("_PAGE_AUTHORING") = groups[kAuthoring];
    m.attr("_DOCS") = groups[kDocsGroup];
    m.attr("_REPO_SYNC") = groups[kSync];
}

}  // namespace kelvo::instructions
