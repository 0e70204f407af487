// The doc registry: DocInfo and DocsConfig, reading one engine page as a doc,
// the canvas scan with its page limit, time budget and duplicate names, and
// the approval predicates that the digest and the handshake ask of each doc.
#include "refresh/registry.hpp"

#include <string>
#include <vector>

#include "common/record.hpp"
#include "common/text.hpp"
#include "common/value.hpp"
#include "common/writer.hpp"
#include "refresh/bindings.hpp"
#include "refresh/builtin.hpp"
#include "refresh/fixed_texts.hpp"
#include "refresh/markdown.hpp"
#include "refresh/marker.hpp"

namespace kelvo::refresh {

namespace {

PyTypeObject* g_doc_info = nullptr;
Words g_words{};
PyObject* g_field_names[10] = {};
PyObject* g_kelvo_first_name = nullptr;
std::vector<PyObject*> g_seed_bodies;  // seeded posture texts, as read back and trimmed
PyObject* g_list_pages = nullptr;
PyObject* g_get_page = nullptr;
PyObject* g_limit_kwnames = nullptr;
PyObject* g_sha256 = nullptr;     // hashlib.sha256
PyObject* g_hexdigest = nullptr;  // "hexdigest"
PyObject* g_bar = nullptr;        // "|"
PyObject* g_line_feed = nullptr;  // "\n"

// Member names of engine replies and marker records, interned once so that
// each lookup hashes nothing.
struct Keys {
    PyObject *title, *page_id, *updated_at, *blocks, *instruction, *state, *pages, *has_more;
    PyObject *name, *kind, *when_to_use, *pinned, *v, *strip;
};
Keys K{};

// Member `key` of a map that may be falsy (counted as empty); a truthy value
// that is not a map fails the way `value.get(key)` fails in Python.
nb::object member_of(nb::handle map, PyObject* key) {
    if (!PyDict_CheckExact(map.ptr()) && (map.is_none() || !truthy(map))) return nb::object();
    return map_get(map, key);
}

// The first truthy of `values`, or an invalid object.
nb::object first_truthy(std::initializer_list<nb::handle> values) {
    for (nb::handle v : values)
        if (v.is_valid() && truthy(v)) return nb::borrow(v);
    return nb::object();
}

nb::object approval_of(nb::handle detail) {
    nb::object inst = get_member(detail, K.instruction);
    nb::object state = inst.is_valid() ? get_member(inst, K.state) : nb::object();
    if (state.is_valid() && PyUnicode_Check(state.ptr())) {
        const Words& w = g_words;
        for (PyObject* word : {w.approved, w.changed, w.none})
            if (PyUnicode_Equal(state.ptr(), word) == 1) return nb::borrow(word);
    }
    return nb::borrow(g_words.unknown);
}

nb::object doc_from_page(nb::handle row, nb::handle detail) {
    // Both maps are checked before anything is read, so a wrong-shaped reply
    // fails the same way whatever else the page holds.
    member_of(row, K.title);
    nb::object blocks = member_of(detail, K.blocks);
    std::vector<RawBlock> ordered;
    if (blocks.is_valid() && !blocks.is_none()) {
        if (PyList_Check(blocks.ptr()) || PyTuple_Check(blocks.ptr()))
            ordered = sorted_blocks(blocks);
        else  // a falsy 0, "" or {} is no more a list than a truthy one
            raise_format(PyExc_TypeError, "page blocks must be a list, not %.200s", Py_TYPE(blocks.ptr())->tp_name);
    }

    nb::object first_text;
    size_t marker_at = 0;
    for (; marker_at < ordered.size(); ++marker_at) {
        nb::str t = block_text(ordered[marker_at]);
        if (PyUnicode_GET_LENGTH(trim(t).ptr()) != 0) {  // the first block that is not blank holds the marker
            first_text = t;
            break;
        }
    }
    if (!first_text.is_valid()) return nb::none();
    nb::object meta = parse_sentinel(first_text);
    if (meta.is_none() || !PyDict_Check(meta.ptr())) return nb::none();

    auto meta_value = [&](PyObject* key) {
        nb::object v = get_member(meta, key);
        return v.is_valid() ? v : nb::none();
    };
    nb::object name = meta_value(K.name), kind = meta_value(K.kind), when = meta_value(K.when_to_use),
               pinned = meta_value(K.pinned), v = meta_value(K.v);

    nb::object title = first_truthy({member_of(row, K.title), member_of(detail, K.title), name});
    nb::object title_str = title.is_valid() ? nb::object(str_form(title)) : nb::object(nb::borrow(g_words.empty));
    nb::object pid = first_truthy({member_of(row, K.page_id), member_of(detail, K.page_id)});
    nb::object pid_str = pid.is_valid() ? nb::object(str_form(pid)) : nb::object(nb::borrow(g_words.empty));
    // The detail's time wins; failing both, the row's own (falsy) value.
    nb::object row_updated = member_of(row, K.updated_at);
    nb::object updated = first_truthy({member_of(detail, K.updated_at), row_updated});
    if (!updated.is_valid()) updated = row_updated.is_valid() ? row_updated : nb::none();

    // The marker block stays out of the body even when its members come in
    // another order than the one the marker-like pattern recognises.
    nb::str body = markdown_from_sorted(ordered, marker_at);
    nb::object approval = approval_of(detail);
    return record_make(g_doc_info, {name, kind, title_str, when, pinned, pid_str, updated, body, v, approval});
}

nb::object call_list_pages(nb::handle client, nb::handle max_pages) {
    PyObject* args[2] = {client.ptr(), max_pages.ptr()};
    return steal(PyObject_VectorcallMethod(g_list_pages, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, g_limit_kwnames));
}

nb::tuple derive_registry(nb::handle client, nb::handle max_pages, nb::handle budget_seconds, nb::handle clock,
                          nb::handle dedupe) {
    nb::dict notes;
    const bool dedup = truthy(dedupe);
    nb::object deadline;
    double budget = 0.0;
    if (!budget_seconds.is_none()) {
        nb::object now = steal(PyObject_CallNoArgs(clock.ptr()));
        nb::object b = steal(PyNumber_Float(budget_seconds.ptr()));
        budget = PyFloat_AS_DOUBLE(b.ptr());
        deadline = steal(PyNumber_Add(now.ptr(), b.ptr()));
    }

    nb::object listing = call_list_pages(client, max_pages);
    nb::object pages = member_of(listing, K.pages);
    nb::object rows;
    if (!pages.is_valid() || !truthy(pages)) {
        rows = steal(PyList_New(0));
    } else if (PyList_Check(pages.ptr()) || PyTuple_Check(pages.ptr())) {
        // A snapshot of the rows: the client cannot change what is being walked.
        rows = steal(PySequence_List(pages.ptr()));
    } else {  // a map's keys or a string's letters are no page rows
        raise_format(PyExc_TypeError, "listed pages must be a list, not %.200s", Py_TYPE(pages.ptr())->tp_name);
    }
    nb::object has_more = member_of(listing, K.has_more);
    if (has_more.is_valid() && truthy(has_more)) {
        TextWriter text;
        text.utf8(texts::kTruncated1).plain(max_pages).utf8(texts::kTruncated2).plain(max_pages);
        notes["truncated"] = text.utf8(texts::kTruncated3).finish();
    }

    nb::list out;
    nb::object seen = steal(PySet_New(nullptr));
    std::vector<nb::object> duplicates;
    const Py_ssize_t count = PyList_GET_SIZE(rows.ptr());
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (deadline.is_valid()) {
            nb::object now = steal(PyObject_CallNoArgs(clock.ptr()));
            const int past = PyObject_RichCompareBool(now.ptr(), deadline.ptr(), Py_GE);
            if (past < 0) raise_current();
            if (past) {
                const std::string b = format_g(budget), done = std::to_string(i), all = std::to_string(count);
                TextWriter text;
                text.utf8(texts::kBudget1).ascii(b).utf8(texts::kBudget2).ascii(done);
                text.utf8(texts::kBudget3).ascii(all).utf8(texts::kBudget4);
                notes["budget"] = text.finish();
                break;
            }
        }
        nb::object row = nb::borrow(PyList_GET_ITEM(rows.ptr(), i));
        nb::object raw_pid = member_of(row, K.page_id);
        if (!raw_pid.is_valid() || !truthy(raw_pid)) continue;
        nb::str pid = str_form(raw_pid);
        if (PyUnicode_GET_LENGTH(pid.ptr()) == 0) continue;
        nb::object detail = steal(PyObject_CallMethodOneArg(client.ptr(), g_get_page, pid.ptr()));
        nb::object d = doc_from_page(row, detail);
        if (d.is_none()) continue;
        nb::object name = doc_field(d, Field::name);
        if (dedup) {
            const int dup = PySet_Contains(seen.ptr(), name.ptr());
            if (dup < 0) raise_current();
            if (dup) {
                if (duplicates.empty()) notes["duplicates"] = nb::borrow(g_words.empty);  // keeps its place
                duplicates.push_back(name);
                continue;
            }
        }
        if (PySet_Add(seen.ptr(), name.ptr()) < 0) raise_current();
        out.append(d);
    }
    if (!duplicates.empty()) {
        TextWriter names;
        for (size_t i = 0; i < duplicates.size(); ++i) (i ? names.ascii(" ") : names).plain(duplicates[i]);
        notes["duplicates"] = trim(names.finish());
    }
    return nb::make_tuple(out, notes);
}

nb::object seed_text_of(const char* utf8_text) {
    nb::str md = blocks_to_markdown(markdown_to_blocks(utf8(utf8_text)));
    return trim(md);
}

}  // namespace

nb::object stripped(nb::handle body) {
    if (PyUnicode_Check(body.ptr())) return trim(body);
    return steal(PyObject_CallMethodNoArgs(body.ptr(), K.strip));
}

const Words& words() { return g_words; }

nb::object doc_field(nb::handle doc, Field f) {
    const size_t i = static_cast<size_t>(f);
    if (Py_IS_TYPE(doc.ptr(), g_doc_info)) return record_get(doc.ptr(), i);
    return steal(PyObject_GetAttr(doc.ptr(), g_field_names[i]));
}


bool requests_authority(nb::handle doc) {
    if (truthy(doc_field(doc, Field::pinned))) return true;
    return equal(doc_field(doc, Field::kind), g_words.skill);
}

bool is_instruction(nb::handle doc) {
    return requests_authority(doc) && equal(doc_field(doc, Field::approval), g_words.approved);
}

bool is_builtin_seed(nb::handle doc) {
    if (!equal(doc_field(doc, Field::name), g_kelvo_first_name)) return false;
    nb::object body = stripped(doc_field(doc, Field::body));
    for (PyObject* seed : g_seed_bodies)
        if (equal(body, seed)) return true;
    return false;
}

nb::list visible_docs(nb::handle docs) {
    nb::object all = steal(PySequence_List(docs.ptr()));
    nb::list out;
    const Py_ssize_t n = PyList_GET_SIZE(all.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::handle d(PyList_GET_ITEM(all.ptr(), i));
        if (!is_builtin_seed(d)) out.append(d);
    }
    return out;
}

bool approvals_reported(nb::handle docs) {
    nb::object it = steal(PyObject_GetIter(docs.ptr()));
    while (PyObject* item = PyIter_Next(it.ptr())) {
        nb::object d = nb::steal(item);
        if (equal(doc_field(d, Field::approval), g_words.unknown)) return false;
    }
    if (PyErr_Occurred()) raise_current();
    return true;
}

nb::str instructions_version(nb::handle docs) {
    // Each row is its four string forms joined by "|" (None reads "None");
    // the rows are sorted in code point order and joined by line feeds.
    nb::list rows;
    nb::object it = steal(PyObject_GetIter(docs.ptr()));
    while (PyObject* item = PyIter_Next(it.ptr())) {
        nb::object d = nb::steal(item);
        if (!is_instruction(d)) continue;
        nb::object parts = steal(PyTuple_New(4));
        int i = 0;
        for (Field f : {Field::name, Field::kind, Field::page_id, Field::updated_at})
            PyTuple_SET_ITEM(parts.ptr(), i++, str_form(doc_field(d, f)).release().ptr());
        rows.append(steal(PyUnicode_Join(g_bar, parts.ptr())));
    }
    if (PyErr_Occurred()) raise_current();
    if (PyList_Sort(rows.ptr()) < 0) raise_current();
    nb::object joined = steal(PyUnicode_Join(g_line_feed, rows.ptr()));
    // UTF-8 keeps lone surrogates as their three-byte forms.
    nb::object bytes = steal(PyUnicode_AsEncodedString(joined.ptr(), "utf-8", "surrogatepass"));
    nb::object hash = steal(PyObject_CallOneArg(g_sha256, bytes.ptr()));
    nb::object hex = steal(PyObject_CallMethodNoArgs(hash.ptr(), g_hexdigest));
    return nb::steal<nb::str>(steal(PyUnicode_Substring(hex.ptr(), 0, 12)).release());
}

void bind_registry(nb::module_& m) {
    g_words = Words{interned("approved"), interned("changed"), interned("none"), interned("unknown"), interned("skill"),
                    interned("")};
    const char* const fields[10] = {"name", "kind", "title", "when_to_use", "pinned",
                                    "page_id", "updated_at", "body", "v", "approval"};
    for (int i = 0; i < 10; ++i) g_field_names[i] = interned(fields[i]);
    g_kelvo_first_name = interned(kKelvoFirstName);
    g_seed_bodies.clear();  // a load that failed part-way is run again from the start
    for (const char* seed : kKelvoFirstSeededBodies) g_seed_bodies.push_back(seed_text_of(seed).release().ptr());
    K = Keys{interned("title"), interned("page_id"), interned("updated_at"), interned("blocks"), interned("instruction"),
             interned("state"), interned("pages"), interned("has_more"), g_field_names[0], g_field_names[1],
             g_field_names[3], g_field_names[4], g_field_names[8], interned("strip")};
    g_sha256 = import_attr("hashlib", "sha256").release().ptr();
    g_hexdigest = interned("hexdigest");
    g_bar = interned("|");
    g_line_feed = interned("\n");
    g_list_pages = interned("list_pages");
    g_get_page = interned("get_page");
    g_limit_kwnames = steal(Py_BuildValue("(s)", "limit")).release().ptr();

    m.attr("APPROVED") = nb::handle(g_words.approved);
    m.attr("CHANGED") = nb::handle(g_words.changed);
    m.attr("NONE") = nb::handle(g_words.none);
    m.attr("UNKNOWN") = nb::handle(g_words.unknown);
    m.attr("MAX_REGISTRY_PAGES") = nb::int_(kMaxRegistryPages);
    m.attr("DEFAULT_DOCS_CANVAS") = nb::str("agent_docs");

    RecordSpec doc{"kelvo_mcp.refresh", "DocInfo",
                   "One agent doc on the docs canvas: its marker fields, page identity, Markdown body "
                   "and approval state.",
                   {}};
    for (int i = 0; i < 8; ++i) doc.fields.push_back({fields[i]});
    doc.fields.push_back({"v", nb::int_(1)});
    doc.fields.push_back({"approval", nb::borrow(g_words.unknown)});
    g_doc_info = make_record_type(m, std::move(doc));

    RecordSpec config{"kelvo_mcp.refresh", "DocsConfig", "The docs settings that the host holds.", {}};
    config.fields = {{"enabled", nb::bool_(false)},
                     {"canvas", nb::str("agent_docs")},
                     {"calls", nb::int_(kDefaultRefreshCalls)},
                     {"minutes", nb::float_(kDefaultRefreshMinutes)},
                     {"digest_chars", nb::int_(kDefaultDigestChars)}};
    make_record_type(m, std::move(config));

    m.def("_approval_of", [](nb::handle detail) { return approval_of(detail); }, nb::arg("detail").none(),
          "The approval state a page detail reports: 'approved', 'changed', 'none', else 'unknown'.",
          nb::sig("def _approval_of(detail: Mapping[str, Any]) -> str"));
    m.def("doc_from_page", [](nb::handle row, nb::handle detail) { return doc_from_page(row, detail); },
          nb::arg("page_row").none(), nb::arg("detail").none(),
          "The DocInfo of an engine page, or None when the page is not an agent doc.",
          nb::sig("def doc_from_page(page_row: Mapping[str, Any], detail: Mapping[str, Any]) -> DocInfo | None"));
    nb::object monotonic = import_attr("time", "monotonic");
    m.def("derive_registry",
          [](nb::handle client, nb::handle max_pages, nb::handle budget_seconds, nb::handle clock, nb::handle dedupe) {
              return derive_registry(client, max_pages, budget_seconds, clock, dedupe);
          },
          nb::arg("client").none(), nb::kw_only(), nb::arg("max_pages").none() = nb::int_(kMaxRegistryPages),
          nb::arg("budget_seconds").none() = nb::none(), nb::arg("clock").none() = monotonic,
          nb::arg("dedupe").none() = true,
          "Scan the docs canvas: (docs in scan order, notes on the page limit, time budget and duplicates).",
          nb::sig("def derive_registry(client: DocsClient, *, max_pages: int = 50, budget_seconds: float | None = None, clock: Callable[[], float] = time.monotonic, dedupe: bool = True) -> tuple[list[DocInfo], dict[str, str]]"));
    m.def("requests_authority", [](nb::handle d) { return requests_authority(d); }, nb::arg("d").none(),
          "Whether the doc asks to be followed as an instruction (pinned, or a skill).",
          nb::sig("def requests_authority(d: DocInfo) -> bool"));
    m.def("is_instruction", [](nb::handle d) { return is_instruction(d); }, nb::arg("d").none(),
          "Whether the doc is a standing instruction in effect (requests authority and is approved).",
          nb::sig("def is_instruction(d: DocInfo) -> bool"));
    m.def("is_builtin_seed", [](nb::handle d) { return is_builtin_seed(d); }, nb::arg("d").none(),
          "Whether the doc is the posture doc still holding a seeded text, unedited.",
          nb::sig("def is_builtin_seed(d: DocInfo) -> bool"));
    m.def("visible_docs", [](nb::handle docs) { return visible_docs(docs); }, nb::arg("docs").none(),
          "The docs without the built-in seeds, in order.",
          nb::sig("def visible_docs(docs: Iterable[DocInfo]) -> list[DocInfo]"));
    m.def("approvals_reported", [](nb::handle docs) { return approvals_reported(docs); }, nb::arg("docs").none(),
          "Whether the engine reported an approval state for every doc.",
          nb::sig("def approvals_reported(docs: Iterable[DocInfo]) -> bool"));
    m.def("instructions_version", [](nb::handle docs) { return instructions_version(docs); },
          nb::arg("docs").none(), "12 hex digits of SHA-256 over the approved instructions' rows.",
          nb::sig("def instructions_version(docs: Iterable[DocInfo]) -> str"));
}

}  // namespace kelvo::refresh
