// The digest: the small map that re-shows the standing instructions in the
// middle of a session, fitted to a character budget on its JSON text.
//
// Entries are given up one at a time ("docs" from the end, then "requested",
// then "skills") until the JSON text fits. The map is rendered at full counts
// with `extra` merged and written once, the writer marking where each list
// item ends; giving up the items from k on removes exactly the text between
// two marks, so each lowering is measured in O(1) and the fit is linear. Only
// the "more" entry is re-measured, by writing it, when its width changes.
#include "refresh/digest.hpp"

#include <climits>
#include <cmath>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "common/text.hpp"
#include "common/value.hpp"
#include "common/writer.hpp"
#include "refresh/bindings.hpp"
#include "refresh/fixed_texts.hpp"
#include "refresh/registry.hpp"

namespace kelvo::refresh {

namespace {

constexpr size_t kOneLinerChars = 120;

// The digest's own keys, in render order; "more" comes last.
enum Key { kNote, kVersion, kInstructions, kSkills, kRequested, kDocs, kAsOf, kMore, kKeyCount };
const char* const kKeyNames[kKeyCount] = {"note", "instructions_version", "instructions", "skills",
                                          "requested", "docs", "as_of", "more"};

struct Texts {
    PyObject* keys[kKeyCount];
    PyObject *digest_note, *unreported_note, *state_changed, *state_not_approved, *more_suffix;
    PyObject *pointer_start, *pointer_end;
    PyObject *name, *kind, *state, *when_to_use;
};
Texts digest_texts{};

// "%Y-%m-%dT%H:%M:%SZ" of a POSIX time, taken down to the whole second.
nb::str utc_stamp(double t) {
    if (std::isnan(t)) raise(PyExc_ValueError, "Invalid value NaN (not a number)");
    const double s = std::floor(t);
    if (!(std::fabs(s) < 1e15)) raise(PyExc_OverflowError, "timestamp out of range for platform time_t");
    const time_t secs = static_cast<time_t>(s);
    std::tm tm{};
    if (!gmtime_r(&secs, &tm)) raise(PyExc_OverflowError, "timestamp out of range for platform time_t");
    char buf[64];
    const int n = std::snprintf(buf, sizeof buf, "%04ld-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900L, tm.tm_mon + 1,
                                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    TextWriter stamp;
    return stamp.ascii(std::string_view(buf, static_cast<size_t>(n))).finish();
}

nb::object requested_row(nb::handle doc) {
    nb::object name = doc_field(doc, Field::name);
    nb::object kind = doc_field(doc, Field::kind);
    PyObject* state = equal(doc_field(doc, Field::approval), words().changed) ? digest_texts.state_changed : digest_texts.state_not_approved;
    nb::object row = steal(PyDict_New());
    if (PyDict_SetItem(row.ptr(), digest_texts.name, name.ptr()) < 0 || PyDict_SetItem(row.ptr(), digest_texts.kind, kind.ptr()) < 0 ||
        PyDict_SetItem(row.ptr(), digest_texts.state, state) < 0)
        raise_current();
    return row;
}

nb::object truncated_body(nb::str body, nb::handle cap, nb::handle name) {
    nb::object index = steal(PyNumber_Index(cap.ptr()));
    int overflow = 0;
    long long c = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (c == -1 && PyErr_Occurred()) raise_current();
    const long long len = PyUnicode_GET_LENGTH(body.ptr());
    if (overflow > 0 || (!overflow && len <= c)) return body;
    if (overflow < 0 || c < 0) c = 0;
    TextWriter w;
    w.sub(body, 0, static_cast<Py_ssize_t>(c)).text(digest_texts.pointer_start).plain(name).text(digest_texts.pointer_end);
    return w.finish();
}

nb::object map_of(std::initializer_list<std::pair<PyObject*, nb::handle>> entries) {
    nb::object m = steal(PyDict_New());
    for (auto& [k, v] : entries)
        if (PyDict_SetItem(m.ptr(), k, v.ptr()) < 0) raise_current();
    return m;
}

// What every rendering of one digest shares: the groups' entries, made once.
struct Parts {
    bool reported;
    nb::object version, as_of, extra;  // extra: a dict of the caller's entries, or invalid
    nb::object instr = steal(PyList_New(0));
    nb::object lists[3];  // docs, requested, skills: every entry of the group
};
const Key kListKeys[3] = {kDocs, kRequested, kSkills};

// The "more" map: how many entries of each list are not shown.
nb::object more_map(const Parts& p, const size_t shown[3]) {
    nb::object more = steal(PyDict_New());
    for (int g = 0; g < 3; ++g) {
        const size_t hidden = static_cast<size_t>(PyList_GET_SIZE(p.lists[g].ptr())) - shown[g];
        if (!hidden) continue;
        TextWriter text;
        nb::str entry = text.ascii(std::to_string(hidden)).text(digest_texts.more_suffix).finish();
        if (PyDict_SetItem(more.ptr(), digest_texts.keys[kListKeys[g]], entry.ptr()) < 0) raise_current();
    }
    return more;
}

// The digest with the first shown[g] entries of each list, `extra` merged.
nb::object render(const Parts& p, const size_t shown[3], nb::object rendered[3]) {
    nb::object out = steal(PyDict_New());
    auto set = [&](Key k, nb::handle v) {
        if (PyDict_SetItem(out.ptr(), digest_texts.keys[k], v.ptr()) < 0) raise_current();
    };
    set(kNote, nb::handle(p.reported ? digest_texts.digest_note : digest_texts.unreported_note));
    set(kVersion, p.version);
    set(kInstructions, steal(PyList_GetSlice(p.instr.ptr(), 0, PY_SSIZE_T_MAX)));
    for (int g : {2, 1, 0}) {
        rendered[g] = steal(PyList_GetSlice(p.lists[g].ptr(), 0, static_cast<Py_ssize_t>(shown[g])));
        set(kListKeys[g], rendered[g]);
    }
    set(kAsOf, p.as_of);
    nb::object more = more_map(p, shown);
    if (PyDict_GET_SIZE(more.ptr())) set(kMore, more);
    if (p.extra.is_valid() && PyDict_Update(out.ptr(), p.extra.ptr()) < 0) raise_current();
    return out;
}

nb::object build_digest(nb::handle docs_in, nb::handle cap_chars, nb::handle now, nb::handle extra) {
    nb::list docs = visible_docs(docs_in);
    const Py_ssize_t n = PyList_GET_SIZE(docs.ptr());
    if (n == 0) return nb::none();

    nb::object cap_int = steal(PyNumber_Long(cap_chars.ptr()));
    int overflow = 0;
    long long cap_ll = PyLong_AsLongLongAndOverflow(cap_int.ptr(), &overflow);
    if (cap_ll == -1 && PyErr_Occurred()) raise_current();
    if (overflow > 0) cap_ll = LLONG_MAX;
    if (overflow < 0 || cap_ll < kMinDigestChars) cap_ll = kMinDigestChars;
    const size_t cap = static_cast<size_t>(cap_ll);

    Parts p;
    p.reported = approvals_reported(docs);
    for (nb::object& l : p.lists) l = steal(PyList_New(0));
    auto add = [](nb::handle list, nb::handle v) {
        if (PyList_Append(list.ptr(), v.ptr()) < 0) raise_current();
    };
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::handle d(PyList_GET_ITEM(docs.ptr(), i));
        const bool authority = requests_authority(d);
        if (p.reported && authority && equal(doc_field(d, Field::approval), words().approved)) {
            if (equal(doc_field(d, Field::kind), words().skill))
                add(p.lists[2], map_of({{digest_texts.name, doc_field(d, Field::name)}, {digest_texts.when_to_use, one_liner(d)}}));
            else
                add(p.instr, doc_field(d, Field::name));
        } else if (authority) {
            add(p.lists[1], requested_row(d));
        } else {
            add(p.lists[0], doc_field(d, Field::name));
        }
    }
    p.version = p.reported ? nb::object(instructions_version(docs)) : nb::none();
    double when;
    if (now.is_none()) {
        PyTime_t t;
        if (PyTime_Time(&t) < 0) raise_current();
        when = PyTime_AsSecondsDouble(t);
    } else {
        when = PyFloat_AsDouble(now.ptr());
        if (when == -1.0 && PyErr_Occurred()) raise_current();
    }
    p.as_of = utc_stamp(when);
    if (!extra.is_none() && truthy(extra)) {  // the caller's entries, read once
        p.extra = steal(PyDict_New());
        if (PyDict_Merge(p.extra.ptr(), extra.ptr(), 1) < 0) raise_current();
    }

    // The digest at full counts, written once with its lists' item ends marked.
    size_t shown[3], full[3];
    for (int g = 0; g < 3; ++g) shown[g] = full[g] = static_cast<size_t>(PyList_GET_SIZE(p.lists[g].ptr()));
    nb::object rendered[3];
    nb::object out = render(p, shown, rendered);
    JsonMarks marks[3];
    for (int g = 0; g < 3; ++g) marks[g].list = rendered[g].ptr();
    std::string text;
    json_append(text, out, marks);
    if (text.size() <= cap) return out;

    // Text given up by showing k items of list g ("extra" may have replaced
    // the list, and then nothing of it is written).
    auto cut = [&](int g, size_t k) -> size_t {
        const std::vector<size_t>& e = marks[g].ends;
        return e.empty() ? 0 : e.back() - e[k];
    };
    // The ", "more": {...}" entry, written for each width of the hidden
    // counts it meets (a handful per fit); none when `extra` has its own.
    const int extra_more = p.extra.is_valid() ? PyDict_Contains(p.extra.ptr(), digest_texts.keys[kMore]) : 0;
    if (extra_more < 0) raise_current();
    std::string last_width;
    size_t more_len = 0;
    auto more = [&]() -> size_t {
        std::string width;
        bool any = false;
        for (int g = 0; g < 3; ++g) {
            any |= shown[g] < full[g];
            width += shown[g] < full[g] ? std::to_string(full[g] - shown[g]).size() : 0;
        }
        if (extra_more || !any) return 0;
        if (width != last_width) {
            nb::object entry = map_of({{digest_texts.keys[kMore], more_map(p, shown)}});
            more_len = json_text(entry).size();  // {"more": {...}}, its braces standing for ", "
            last_width = width;
        }
        return more_len;
    };
    auto length = [&]() { return text.size() - cut(0, shown[0]) - cut(1, shown[1]) - cut(2, shown[2]) + more(); };
    // Each group in turn gives up entries from its end until the text fits.
    // Below its full count every entry given up shortens the text (by more
    // than the hidden count's width can grow), so the most it can keep is
    // found by halving.
    for (int g = 0; g < 3; ++g) {
        if (shown[g] == 0 || length() <= cap) continue;
        size_t lo = 0, hi = shown[g] - 1;  // the answer is in [lo, hi]; lo when none fits
        while (lo < hi) {
            shown[g] = hi - (hi - lo) / 2;
            if (length() <= cap) lo = shown[g];
            else hi = shown[g] - 1;
        }
        shown[g] = lo;
    }
    return render(p, shown, rendered);
}

}  // namespace

nb::object one_liner(nb::handle doc) {
    nb::object when = doc_field(doc, Field::when_to_use);
    if (truthy(when)) return when;
    nb::object body = doc_field(doc, Field::body);
    if (!PyUnicode_Check(body.ptr())) raise_no_attribute(body, "splitlines");
    // The first line with text, trimmed and cut.
    size_t b = 0, e = 0;
    StrView(body).visit([&](auto s) {
        for_each_line(s, [&](size_t lb, size_t le) {
            if (e > b) return;
            const auto [tb, te] = trim_bounds(s.subspan(lb, le - lb));
            b = lb + tb, e = lb + te;
        });
    });
    if (e > b) {
        if (e - b > kOneLinerChars) e = b + kOneLinerChars;
        return steal(PyUnicode_Substring(body.ptr(), static_cast<Py_ssize_t>(b), static_cast<Py_ssize_t>(e)));
    }
    return nb::borrow(words().empty);
}

nb::handle unreported_note() { return digest_texts.unreported_note; }

void bind_digest(nb::module_& m) {
    for (int k = 0; k < kKeyCount; ++k) digest_texts.keys[k] = interned(kKeyNames[k]);
    digest_texts.digest_note = kept_str(texts::kDigestNote);
    digest_texts.unreported_note = kept_str(texts::kUnreportedNote);
    digest_texts.state_changed = kept_str(texts::kStateChanged);
    digest_texts.state_not_approved = kept_str(texts::kStateNotApproved);
    digest_texts.more_suffix = kept_str(texts::kMoreSuffix);
    digest_texts.pointer_start = kept_str(texts::kTruncatedPointer1);
    digest_texts.pointer_end = kept_str(texts::kTruncatedPointer2);
    digest_texts.name = interned("name");
    digest_texts.kind = interned("kind");
    digest_texts.state = interned("state");
    digest_texts.when_to_use = interned("when_to_use");

    m.attr("DEFAULT_DIGEST_CHARS") = nb::int_(kDefaultDigestChars);
    m.attr("MIN_DIGEST_CHARS") = nb::int_(kMinDigestChars);
    m.attr("DIGEST_BUILD_BUDGET_SECONDS") = nb::float_(kDigestBuildBudgetSeconds);
    m.attr("DIGEST_NOTE") = nb::handle(digest_texts.digest_note);
    m.attr("UNREPORTED_NOTE") = nb::handle(digest_texts.unreported_note);

    m.def("build_digest",
          [](nb::handle docs, nb::handle cap_chars, nb::handle now, nb::handle extra) {
              return build_digest(docs, cap_chars, now, extra);
          },
          nb::arg("docs").none(), nb::kw_only(), nb::arg("cap_chars").none() = nb::int_(kDefaultDigestChars),
          nb::arg("now").none() = nb::none(), nb::arg("extra").none() = nb::none(),
          "The standing-docs digest fitted to cap_chars characters of JSON text, or None when no doc is visible.",
          nb::sig("def build_digest(docs: Sequence[DocInfo], *, cap_chars: int = 2000, now: float | None = None, extra: Mapping[str, Any] | None = None) -> dict[str, Any] | None"));
    m.def("_one_liner", [](nb::handle d) { return one_liner(d); }, nb::arg("d").none(),
          "The line that stands for a doc in short listings.",
          nb::sig("def _one_liner(d: DocInfo) -> str"));
    m.def("_requested_row", [](nb::handle d) { return requested_row(d); }, nb::arg("d").none(),
          "The digest row of a doc that asks for authority without being approved.",
          nb::sig("def _requested_row(d: DocInfo) -> _RequestedRow"));
    m.def("_truncated_body", [](nb::str body, nb::handle cap, nb::handle name) { return truncated_body(body, cap, name); },
          nb::arg("body"), nb::arg("cap").none(), nb::arg("name").none(),
          "The body cut to cap code points, with a pointer to the full text.",
          nb::sig("def _truncated_body(body: str, cap: int, name: str) -> str"));
}

}  // namespace kelvo::refresh
