// The digest: the small map that re-shows the standing instructions in the
// middle of a session, fitted to a character budget on its JSON text.
//
// Entries are given up one at a time ("docs" from the end, then "requested",
// then "skills") until the JSON text fits. Rather than re-render and
// re-serialise the map for every entry given up, the length of the JSON text
// is computed from per-entry lengths measured once: the map's length is its
// braces, its separators and the sum of its entries, so each lowering costs
// O(1) and the whole fit is linear in the number of docs. The map itself is
// rendered once, at the counts found.
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
// The JSON text of a skill's map and of a requested row, less their values.
constexpr size_t kSkillFixed = std::string_view("{\"name\": , \"when_to_use\": }").size();
constexpr size_t kRowFixed = std::string_view("{\"name\": , \"kind\": , \"state\": }").size();

// The digest's own keys, in render order; "more" comes last.
enum Key { kNote, kVersion, kInstructions, kSkills, kRequested, kDocs, kAsOf, kMore, kKeyCount };
const char* const kKeyNames[kKeyCount] = {"note", "instructions_version", "instructions", "skills",
                                          "requested", "docs", "as_of", "more"};

struct Texts {
    PyObject* keys[kKeyCount];
    PyObject *digest_note, *unreported_note, *state_changed, *state_not_approved, *more_suffix;
    PyObject *pointer_start, *pointer_end;
    PyObject *name, *kind, *state, *when_to_use;
    PyObject* skeleton;  // key -> its Key index, for looking up `extra` keys as a dict does
    size_t key_len[kKeyCount];  // JSON length of each key
    size_t digest_note_len, unreported_note_len, more_suffix_len;  // suffix without quotes
};
Texts digest_texts{};

// The JSON text length of a value, measured by writing it (errors of values
// without a JSON form pass through, as json.dumps raises them).
class Meter {
public:
    size_t operator()(nb::handle v) {
        buf_.clear();
        json_append(buf_, v);
        return buf_.size();
    }

private:
    std::string buf_;
};

size_t digits(size_t n) {
    size_t d = 1;
    while (n >= 10) n /= 10, ++d;
    return d;
}

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
    PyObject* state = equals(doc_field(doc, Field::approval), words().changed) ? digest_texts.state_changed : digest_texts.state_not_approved;
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

// One doc of a shown group, with what its entry needs, read once.
struct Item {
    nb::object name;
    nb::object extra;  // a skill's one-liner, or a requested doc's state word
    size_t len;        // JSON length of the list item
};

struct Group {
    std::vector<Item> items;
    std::vector<size_t> prefix;  // prefix[k]: JSON length of the first k items, separators included
    void measure() {
        prefix.assign(items.size() + 1, 0);
        for (size_t k = 0; k < items.size(); ++k) prefix[k + 1] = prefix[k] + items[k].len + (k ? 2 : 0);
    }
    // The JSON length of the list of the first k items, brackets included.
    size_t list_len(size_t k) const { return 2 + prefix[k]; }
};

nb::object build_digest(nb::handle docs_in, nb::handle cap_chars, nb::handle now, nb::handle extra) {
    nb::list docs = visible_docs(docs_in);
    const size_t n = static_cast<size_t>(PyList_GET_SIZE(docs.ptr()));
    if (n == 0) return nb::none();

    nb::object cap_int = steal(PyNumber_Long(cap_chars.ptr()));
    int overflow = 0;
    long long cap_ll = PyLong_AsLongLongAndOverflow(cap_int.ptr(), &overflow);
    if (cap_ll == -1 && PyErr_Occurred()) raise_current();
    if (overflow > 0) cap_ll = LLONG_MAX;
    if (overflow < 0 || cap_ll < kMinDigestChars) cap_ll = kMinDigestChars;
    const size_t cap = static_cast<size_t>(cap_ll);

    const bool reported = approvals_reported(docs);

    // The four groups, each in the order of the visible docs.
    std::vector<nb::object> instr;
    Group skills, requested, others;
    Meter meter;

    for (size_t i = 0; i < n; ++i) {
        nb::handle d(PyList_GET_ITEM(docs.ptr(), i));
        const bool authority = requests_authority(d);
        const bool instruction =
            reported && authority && equals(doc_field(d, Field::approval), words().approved);
        if (instruction) {
            nb::object name = doc_field(d, Field::name);
            if (equals(doc_field(d, Field::kind), words().skill)) {
                nb::object line = one_liner(d);
                const size_t len = kSkillFixed + meter(name) + meter(line);
                skills.items.push_back({std::move(name), std::move(line), len});
            } else {
                instr.push_back(std::move(name));
            }
        } else if (authority) {
            nb::object name = doc_field(d, Field::name);
            nb::object kind = doc_field(d, Field::kind);
            PyObject* state =
                equals(doc_field(d, Field::approval), words().changed) ? digest_texts.state_changed : digest_texts.state_not_approved;
            const size_t len = kRowFixed + meter(name) + meter(kind) + meter(nb::handle(state));
            requested.items.push_back({std::move(name), nb::make_tuple(kind, nb::handle(state)), len});
        } else {
            nb::object name = doc_field(d, Field::name);
            const size_t len = meter(name);
            others.items.push_back({std::move(name), nb::object(), len});
        }
    }
    skills.measure();
    requested.measure();
    others.measure();

    nb::object version = reported ? nb::object(instructions_version(docs)) : nb::none();
    double when;
    if (now.is_none()) {
        PyTime_t t;
        if (PyTime_Time(&t) < 0) raise_current();
        when = PyTime_AsSecondsDouble(t);
    } else {
        when = PyFloat_AsDouble(now.ptr());
        if (when == -1.0 && PyErr_Occurred()) raise_current();
    }
    nb::str as_of = utc_stamp(when);

    // `extra`, taken once as a plain dict, and its keys looked up among the
    // digest's own the way the merge into the digest map will find them.
    nb::object ex;
    nb::object overrides[kKeyCount];
    struct Added {
        nb::object key, value;
        bool more;  // the digest's own "more" key, absent at full counts
    };
    std::vector<Added> added;
    if (!extra.is_none() && truthy(extra)) {
        ex = steal(PyDict_New());
        if (PyDict_Merge(ex.ptr(), extra.ptr(), 1) < 0) raise_current();
        PyObject *k, *v;
        Py_ssize_t pos = 0;
        while (PyDict_Next(ex.ptr(), &pos, &k, &v)) {
            PyObject* idx = nullptr;
            if (PyDict_GetItemRef(digest_texts.skeleton, k, &idx) < 0) raise_current();
            const long key = idx ? PyLong_AsLong(idx) : -1;
            Py_XDECREF(idx);
            if (key >= 0) overrides[key] = nb::borrow(v);
            if (key < 0 || key == kMore) added.push_back({nb::borrow(k), nb::borrow(v), key == kMore});
        }
    }

    // Entry lengths (key, ": ", value), measured in the order of the map
    // rendered at full counts, so the first value without a JSON form is
    // the one json.dumps would stop at.
    auto entry = [&](Key k, size_t value_len) { return digest_texts.key_len[k] + 2 + value_len; };
    size_t fixed = 0;      // entries that never change length
    size_t entries = 0;    // number of entries apart from "more"
    size_t over[kKeyCount] = {};
    for (int k = kNote; k <= kAsOf; ++k)
        if (overrides[k].is_valid()) over[k] = entry(static_cast<Key>(k), meter(overrides[k]));
    fixed += over[kNote] ? over[kNote]
                         : entry(kNote, reported ? digest_texts.digest_note_len : digest_texts.unreported_note_len);
    fixed += over[kVersion] ? over[kVersion] : entry(kVersion, meter(version));
    if (over[kInstructions]) {
        fixed += over[kInstructions];
    } else {
        size_t len = 2;
        for (size_t i = 0; i < instr.size(); ++i) len += meter(instr[i]) + (i ? 2 : 0);
        fixed += entry(kInstructions, len);
    }
    fixed += over[kAsOf] ? over[kAsOf] : entry(kAsOf, meter(as_of));
    entries = 7;
    size_t more_override = 0;
    for (const Added& a : added) {
        if (a.more) {
            more_override = entry(kMore, meter(a.value));
            continue;
        }
        nb::object one = steal(PyDict_New());
        if (PyDict_SetItem(one.ptr(), a.key.ptr(), a.value.ptr()) < 0) raise_current();
        fixed += meter(one) - 2;  // `"key": value`, the key written as json.dumps writes keys
        ++entries;
    }

    Group* lists[3] = {&others, &requested, &skills};
    const Key list_keys[3] = {kDocs, kRequested, kSkills};
    size_t shown[3] = {others.items.size(), requested.items.size(), skills.items.size()};

    auto total = [&]() -> size_t {
        size_t len = 2 + fixed;
        size_t count = entries;
        size_t more_len = 0, more_entries = 0;
        for (int g = 0; g < 3; ++g) {
            const Key k = list_keys[g];
            len += over[k] ? over[k] : entry(k, lists[g]->list_len(shown[g]));
            const size_t hidden = lists[g]->items.size() - shown[g];
            if (hidden) {
                more_len += digest_texts.key_len[k] + 2 + 2 + digits(hidden) + digest_texts.more_suffix_len + (more_entries ? 2 : 0);
                ++more_entries;
            }
        }
        if (overrides[kMore].is_valid()) {
            len += more_override;
            ++count;
        } else if (more_entries) {
            len += entry(kMore, 2 + more_len);
            ++count;
        }
        return len + 2 * (count - 1);
    };

    for (int g = 0; g < 3; ++g)
        while (shown[g] > 0 && total() > cap) --shown[g];

    // The digest at the counts found.
    nb::dict out;
    PyObject* o = out.ptr();
    auto set = [&](Key k, nb::handle v) {
        if (PyDict_SetItem(o, digest_texts.keys[k], v.ptr()) < 0) raise_current();
    };
    set(kNote, nb::handle(reported ? digest_texts.digest_note : digest_texts.unreported_note));
    set(kVersion, version);
    nb::list names;
    for (const nb::object& nm : instr) names.append(nm);
    set(kInstructions, names);
    nb::list skill_list;
    for (size_t i = 0; i < shown[2]; ++i) {
        nb::object m = steal(PyDict_New());
        if (PyDict_SetItem(m.ptr(), digest_texts.name, skills.items[i].name.ptr()) < 0 ||
            PyDict_SetItem(m.ptr(), digest_texts.when_to_use, skills.items[i].extra.ptr()) < 0)
            raise_current();
        skill_list.append(m);
    }
    set(kSkills, skill_list);
    nb::list rows;
    for (size_t i = 0; i < shown[1]; ++i) {
        nb::object m = steal(PyDict_New());
        PyObject* pair = requested.items[i].extra.ptr();
        if (PyDict_SetItem(m.ptr(), digest_texts.name, requested.items[i].name.ptr()) < 0 ||
            PyDict_SetItem(m.ptr(), digest_texts.kind, PyTuple_GET_ITEM(pair, 0)) < 0 ||
            PyDict_SetItem(m.ptr(), digest_texts.state, PyTuple_GET_ITEM(pair, 1)) < 0)
            raise_current();
        rows.append(m);
    }
    set(kRequested, rows);
    nb::list other_names;
    for (size_t i = 0; i < shown[0]; ++i) other_names.append(others.items[i].name);
    set(kDocs, other_names);
    set(kAsOf, as_of);
    nb::dict more;
    for (int g = 0; g < 3; ++g) {
        const size_t hidden = lists[g]->items.size() - shown[g];
        if (!hidden) continue;
        const std::string count = std::to_string(hidden);
        TextWriter text;
        nb::str entry = text.ascii(count).text(digest_texts.more_suffix).finish();
        if (PyDict_SetItem(more.ptr(), digest_texts.keys[list_keys[g]], entry.ptr()) < 0) raise_current();
    }
    if (PyDict_GET_SIZE(more.ptr())) set(kMore, more);
    if (ex.is_valid()) {
        PyObject *k, *v;
        Py_ssize_t pos = 0;
        while (PyDict_Next(ex.ptr(), &pos, &k, &v))
            if (PyDict_SetItem(o, k, v) < 0) raise_current();
    }
    return out;
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
    nb::dict skeleton;
    for (int k = 0; k < kKeyCount; ++k) skeleton[nb::handle(digest_texts.keys[k])] = nb::int_(k);
    // Kept for the life of the process as a plain pointer: a static owning
    // object would be released after the interpreter has finalized.
    digest_texts.skeleton = skeleton.release().ptr();
    Meter meter;
    for (int k = 0; k < kKeyCount; ++k) digest_texts.key_len[k] = meter(nb::handle(digest_texts.keys[k]));
    digest_texts.digest_note_len = meter(nb::handle(digest_texts.digest_note));
    digest_texts.unreported_note_len = meter(nb::handle(digest_texts.unreported_note));
    digest_texts.more_suffix_len = meter(nb::handle(digest_texts.more_suffix)) - 2;

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
