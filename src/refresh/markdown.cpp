// Blocks <-> Markdown for agent docs: a small dialect (three heading levels,
// bulleted, numbered and to-do items, quotes, dividers, fenced code, plain
// paragraphs) that reads back to the same Markdown on every connection.
//
// Both directions read the interpreter's own string storage (1, 2 or 4 bytes
// per code point) and write results through the common TextWriter, so lone
// surrogates and astral code points pass through untouched and every result
// is stored in its narrowest width.
#include "refresh/markdown.hpp"

#include <algorithm>
#include <cmath>
#include <string_view>

#include "common/text.hpp"
#include "common/value.hpp"
#include "common/writer.hpp"
#include "refresh/bindings.hpp"

namespace kelvo::refresh {

namespace {

// Block type names known to the dialect: `paragraph` (Other) stands for
// every other type; the prefixed kinds come in the order of their prefixes.
enum class Kind { Other, H1, H2, H3, Bulleted, Numbered, Todo, TodoDone, Quote, Divider, Code };
constexpr const char* kKindNames[] = {"paragraph", "heading_1", "heading_2", "heading_3", "bulleted", "numbered",
                                      "todo",      "todo_done", "quote",     "divider",   "code"};
constexpr int kKinds = 11;

// Interned keys and block type names, made at load and kept for the life of
// the process.
struct Names {
    PyObject *order, *text, *block_type, *empty;
    PyObject* sentinel_match;  // _ANY_SENTINEL_RE.match
    PyObject* kinds[kKinds];
};
Names N{};

PyObject* name_of(Kind k) { return N.kinds[static_cast<int>(k)]; }

// What each kind writes before its text, behind a blank line (index: the
// Kind's value). Dropping the first one or two characters gives it behind a
// line feed or at the start; dropping both gives a prefixed kind's prefix.
constexpr std::string_view kLead[] = {"\n\n",      "\n\n# ",     "\n\n## ", "\n\n### ", "\n\n- ",     "\n\n1. ",
                                      "\n\n- [ ] ", "\n\n- [x] ", "\n\n> ",  "\n\n---",  "\n\n```\n"};

bool is_list(Kind k) { return k == Kind::Bulleted || k == Kind::Numbered || k == Kind::Todo || k == Kind::TodoDone; }

// Markdown line prefixes, tried first to last, the first match winning:
// longer headings before shorter ones, the to-dos before the plain bullet.
struct LineType {
    std::string_view prefix;
    Kind kind;
};
constexpr LineType kLineTypes[] = {
    {"### ", Kind::H3},          {"## ", Kind::H2},           {"# ", Kind::H1},
    {"- [x] ", Kind::TodoDone},  {"- [X] ", Kind::TodoDone},  {"- [ ] ", Kind::Todo},
    {"- ", Kind::Bulleted},      {"* ", Kind::Bulleted},      {"> ", Kind::Quote},
};

constexpr std::string_view kFence = "```";

template <class C>
bool starts_with_ascii(std::span<const C> s, size_t at, std::string_view prefix) {
    if (s.size() - at < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (s[at + i] != static_cast<unsigned char>(prefix[i])) return false;
    return true;
}

// Order keys.
//
// An `order` is read as Python's float() reads it, so a string may carry
// surrounding whitespace, exponent notation ("1e3"), "inf"/"nan" in any case
// and underscores between digits ("1_000"); anything float() refuses fails
// the call with float()'s own error, before any text is read. An int is
// compared by its exact value, so ints beyond a double's range or precision
// still sort; not-a-number keys go after every number, in input order.

struct OrderKey {
    double d = 0.0;
    PyObject* exact = nullptr;  // an int a double cannot hold exactly (borrowed from its block)
    bool nan = false;
    size_t index = 0;
};

constexpr long long kExactLimit = 9007199254740992LL;  // 2**53

OrderKey read_order(nb::handle raw_order, size_t index) {
    OrderKey key;
    key.index = index;
    PyObject* raw = raw_order.ptr();
    if (!raw) return key;
    if (PyBool_Check(raw)) {
        key.d = raw == Py_True ? 1.0 : 0.0;
    } else if (PyLong_CheckExact(raw)) {
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(raw, &overflow);
        if (n == -1 && PyErr_Occurred()) raise_current();
        if (!overflow && n >= -kExactLimit && n <= kExactLimit) key.d = static_cast<double>(n);
        else key.exact = raw;
    } else if (PyFloat_CheckExact(raw)) {
        key.d = PyFloat_AS_DOUBLE(raw);
    } else if (truthy(raw)) {  // [], {}, "" and other falsy values count as 0
        nb::object f = steal(PyNumber_Float(raw));
        key.d = PyFloat_AS_DOUBLE(f.ptr());
    }
    key.nan = std::isnan(key.d);
    return key;
}

// An int beyond a double's exact range against another key: int/int and
// int/float comparisons are exact and never raise.
[[gnu::noinline]] bool exact_less(const OrderKey& a, const OrderKey& b) {
    nb::object x = a.exact ? nb::borrow(a.exact) : steal(PyFloat_FromDouble(a.d));
    nb::object y = b.exact ? nb::borrow(b.exact) : steal(PyFloat_FromDouble(b.d));
    const int r = PyObject_RichCompareBool(x.ptr(), y.ptr(), Py_LT);
    if (r < 0) raise_current();
    return r == 1;
}

inline bool key_less(const OrderKey& a, const OrderKey& b) {
    if (a.nan || b.nan) return !a.nan && b.nan;
    if (a.exact || b.exact) return exact_less(a, b);
    return a.d < b.d;
}

}  // namespace

std::vector<RawBlock> sorted_blocks(nb::handle blocks) {
    // The map elements, taken before any Python code runs, so a key or text
    // that mutates the sequence cannot disturb the walk.
    std::vector<RawBlock> raw;
    if (!blocks.is_none() && truthy(blocks)) {
        nb::object it = steal(PyObject_GetIter(blocks.ptr()));
        while (PyObject* item = PyIter_Next(it.ptr())) {
            nb::object o = nb::steal(item);
            if (PyDict_Check(item)) raw.push_back({std::move(o)});
        }
        if (PyErr_Occurred()) raise_current();
    }
    // Every order is read (and an unreadable one has failed the call) before
    // any text is put in its string form.
    std::vector<OrderKey> keys(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        RawBlock& b = raw[i];
        b.order = get_member(b.map.ptr(), N.order);
        keys[i] = read_order(b.order, i);
        b.text = get_member(b.map.ptr(), N.text);
        b.type = get_member(b.map.ptr(), N.block_type);
    }
    std::stable_sort(keys.begin(), keys.end(), [](const OrderKey& a, const OrderKey& b) { return key_less(a, b); });
    std::vector<RawBlock> sorted;
    sorted.reserve(raw.size());
    for (const OrderKey& k : keys) sorted.push_back(std::move(raw[k.index]));
    return sorted;
}

namespace {

// A raw member value's string form, or `fallback` when absent or falsy.
nb::object string_form_or(const nb::object& raw, PyObject* fallback) {
    if (!raw.is_valid()) return nb::borrow(fallback);
    if (PyUnicode_Check(raw.ptr())) return PyUnicode_GET_LENGTH(raw.ptr()) ? raw : nb::borrow(fallback);
    if (!truthy(raw)) return nb::borrow(fallback);
    return str_form(raw);
}

Kind kind_of(PyObject* bt) {
    for (int k = 0; k < kKinds; ++k)  // usually the very names made at load
        if (bt == N.kinds[k]) return static_cast<Kind>(k);
    for (int k = 1; k < kKinds; ++k) {
        const int eq = PyUnicode_Equal(bt, N.kinds[k]);
        if (eq < 0) raise_current();
        if (eq) return static_cast<Kind>(k);
    }
    return Kind::Other;
}

// A block's kind, from its type's string form; a paragraph of nothing but
// whitespace writes nothing and reads as `blank`.
Kind block_kind(const nb::object& t, const nb::object& type_raw, bool& blank) {
    const Kind k = kind_of(string_form_or(type_raw, name_of(Kind::Other)).ptr());
    blank = k == Kind::Other && StrView(t).visit([](auto s) {
                return std::all_of(s.begin(), s.end(), [](auto c) { return is_space(c); });
            });
    return k;
}

// What a block writes, at least: its lead, then its text (a divider writes
// no text, a code block its closing fence too). A prefixed kind writes its
// prefix again on every further line, which the writer grows for.
Py_ssize_t written_length(Kind k, const nb::object& t) {
    const auto lead = static_cast<Py_ssize_t>(kLead[static_cast<int>(k)].size());
    if (k == Kind::Divider) return lead;
    return lead + PyUnicode_GET_LENGTH(t.ptr()) + (k == Kind::Code ? 1 + static_cast<Py_ssize_t>(kFence.size()) : 0);
}

// Steps 2-4 of block to Markdown, one block at a time: chunks are written as
// they come, a new one after a blank line, a list item that continues a list
// after a single line feed (only the last chunk is ever extended).
class MarkdownWriter {
public:
    explicit MarkdownWriter(Py_ssize_t expected = 0) : out_(expected) {}
    // `t`: the block's text in its string form, not a marker; `k` its kind
    // (block_kind), not a blank paragraph: that adds nothing, and a list
    // around it stays one list.
    void block(const nb::object& t, Kind k) {
        const bool listy = is_list(k);
        const std::string_view first = lead(k, listy && last_listy_);
        last_listy_ = listy;
        if (k == Kind::Divider) {
            out_.ascii(first);
        } else if (k == Kind::Code) {
            out_.ascii(first).plain(t).ascii("\n").ascii(kFence);
        } else if (k == Kind::Other) {
            out_.ascii(first).plain(t);
        } else {  // a prefixed kind: the prefix before every line
            const std::string_view next = kLead[static_cast<int>(k)].substr(1);
            bool any = false;
            StrView(t).visit([&](auto s) {
                for_each_line(s, [&](size_t b, size_t e) {
                    out_.ascii(any ? next : first).sub(t, static_cast<Py_ssize_t>(b), static_cast<Py_ssize_t>(e));
                    any = true;
                });
            });
            if (!any) out_.ascii(first.substr(0, first.size() - 1));  // "#", "- [ ]", ">" ...
        }
    }
    // A marker block: nothing written, and a list does not run on across it.
    void marker() { last_listy_ = false; }
    nb::str finish() { return out_.finish(); }

private:
    // The kind's lead for the next chunk: nothing before the first chunk, a
    // line feed before a list item that continues the list, else a blank line.
    std::string_view lead(Kind k, bool join_list) {
        const size_t drop = !have_chunk_ ? 2 : join_list ? 1 : 0;
        have_chunk_ = true;
        return kLead[static_cast<int>(k)].substr(drop);
    }

    TextWriter out_;
    bool have_chunk_ = false;
    bool last_listy_ = false;
};

}  // namespace

void raise_not_text(nb::handle value, const char* method) {
    const int has = PyObject_HasAttrStringWithError(value.ptr(), method);
    if (has < 0) raise_current();
    if (!has) raise_no_attribute(value, method);
    raise_format(PyExc_TypeError, "text must be a str or None, not '%.200s'", Py_TYPE(value.ptr())->tp_name);
}

bool any_sentinel_prefix(nb::handle text_str) {
    // Only a text whose first non-space is "{" is put to the pattern.
    StrView s(text_str);
    size_t i = 0;
    while (i < s.size() && is_space(s[i])) ++i;
    if (i == s.size() || s[i] != '{') return false;
    return !steal(PyObject_CallOneArg(N.sentinel_match, text_str.ptr())).is_none();
}

nb::str block_text(const RawBlock& block) { return nb::borrow<nb::str>(string_form_or(block.text, N.empty)); }

nb::str markdown_from_sorted(const std::vector<RawBlock>& sorted, size_t marker) {
    // Every text in its string form first, then every type (host code runs
    // in that order); marker blocks are left out before anything is sized.
    std::vector<nb::object> texts(sorted.size());
    for (size_t i = 0; i < sorted.size(); ++i) {
        if (i == marker) continue;
        nb::object t = string_form_or(sorted[i].text, N.empty);
        if (any_sentinel_prefix(t)) continue;
        texts[i] = std::move(t);
    }
    // The writer is sized for what the blocks write: nothing for a blank
    // paragraph, the lead alone for a divider (a page may repeat one huge
    // text thousands of times in blocks that write none of it). The sum is
    // checked: past what a str can hold, the text could never be made.
    std::vector<Kind> kinds(sorted.size(), Kind::Other);
    std::vector<bool> writes(sorted.size(), false);
    Py_ssize_t expected = 0;
    for (size_t i = 0; i < sorted.size(); ++i) {
        if (!texts[i].is_valid()) continue;
        bool blank;
        kinds[i] = block_kind(texts[i], sorted[i].type, blank);
        writes[i] = !blank;
        if (!blank && __builtin_add_overflow(expected, written_length(kinds[i], texts[i]), &expected)) {
            PyErr_NoMemory();
            raise_current();
        }
    }
    MarkdownWriter w(expected);
    for (size_t i = 0; i < sorted.size(); ++i) {
        if (!texts[i].is_valid()) w.marker();
        else if (writes[i]) w.block(texts[i], kinds[i]);
    }
    return w.finish();
}

nb::str blocks_to_markdown(nb::handle blocks) { return markdown_from_sorted(sorted_blocks(blocks)); }

// Markdown to blocks.

namespace {

struct Range {
    size_t b, e;
};

class BlockSink {
public:
    explicit BlockSink(nb::handle src) : src_(src), out_(steal(PyList_New(0))) {}

    void add(PyObject* type, nb::handle text) {
        nb::object d = steal(PyDict_New());
        if (PyDict_SetItem(d.ptr(), N.block_type, type) < 0 || PyDict_SetItem(d.ptr(), N.text, text.ptr()) < 0 ||
            PyList_Append(out_.ptr(), d.ptr()) < 0)
            raise_current();
    }
    void add_slice(PyObject* type, size_t b, size_t e) {
        add(type, steal(PyUnicode_Substring(src_.ptr(), static_cast<Py_ssize_t>(b), static_cast<Py_ssize_t>(e))));
    }
    // The lines joined by line feeds. Lines that follow each other in the
    // source, one line feed apart (most paragraphs and code blocks), are
    // already that text: one slice of it.
    void add_joined(PyObject* type, const std::vector<Range>& lines) {
        bool adjacent = !lines.empty();
        for (size_t i = 1; i < lines.size() && adjacent; ++i)
            adjacent = lines[i].b == lines[i - 1].e + 1 && PyUnicode_READ_CHAR(src_.ptr(), lines[i - 1].e) == '\n';
        if (adjacent) return add_slice(type, lines.front().b, lines.back().e);
        TextWriter w;
        for (size_t i = 0; i < lines.size(); ++i) {
            if (i) w.ascii("\n");
            w.sub(src_, static_cast<Py_ssize_t>(lines[i].b), static_cast<Py_ssize_t>(lines[i].e));
        }
        add(type, w.finish());
    }
    nb::list result() { return nb::steal<nb::list>(out_.release()); }

private:
    nb::handle src_;
    nb::object out_;
};

template <class C>
void parse_markdown(std::span<const C> s, BlockSink& sink) {
    // The lines of the paragraph or code block being read (never both).
    std::vector<Range> lines;
    lines.reserve(64);
    bool in_code = false;
    auto flush = [&](Kind k) {  // a paragraph needs a line, a code block (fences alone) none
        if (k == Kind::Code || !lines.empty()) sink.add_joined(name_of(k), lines);
        lines.clear();
    };

    for_each_line(s, [&](size_t lb, size_t le) {
        const auto [tb, te] = trim_bounds(s.subspan(lb, le - lb));
        const size_t b = lb + tb, e = lb + te;
        const std::span<const C> line = s.subspan(b, e - b);
        const bool fence = starts_with_ascii(line, 0, kFence);
        if (in_code) {
            if (fence) {
                flush(Kind::Code);
                in_code = false;
            } else {
                lines.push_back({lb, le});
            }
            return;
        }
        if (fence || line.empty()) {
            flush(Kind::Other);
            in_code = fence;
            return;
        }
        if (line.size() == 3 && starts_with_ascii(line, 0, "---")) {
            flush(Kind::Other);
            sink.add(name_of(Kind::Divider), N.empty);
            return;
        }
        const Py_UCS4 first = line[0];
        if (first == '#' || first == '-' || first == '*' || first == '>') {  // the prefixes' first characters
            for (const LineType& lt : kLineTypes) {
                if (starts_with_ascii(line, 0, lt.prefix)) {
                    flush(Kind::Other);
                    sink.add_slice(name_of(lt.kind), b + lt.prefix.size(), e);
                    return;
                }
            }
        }
        // ^\d+[.)]\s+ (ASCII holds no decimal digit but 0-9)
        auto decimal = [](Py_UCS4 c) { return c < 0x80 ? c - '0' < 10 : is_decimal(c); };
        size_t i = 0;
        while (i < line.size() && decimal(line[i])) ++i;
        if (i > 0 && i < line.size() && (line[i] == '.' || line[i] == ')')) {
            size_t j = i + 1;
            while (j < line.size() && is_space(line[j])) ++j;
            if (j > i + 1) {
                flush(Kind::Other);
                sink.add_slice(name_of(Kind::Numbered), b + j, e);
                return;
            }
        }
        lines.push_back({b, e});
    });
    flush(in_code ? Kind::Code : Kind::Other);
}

}  // namespace

nb::list markdown_to_blocks(nb::handle text) {
    PyObject* t = text.ptr();
    if (!PyUnicode_Check(t)) {
        if (t == Py_None || !truthy(t)) return nb::list();
        raise_not_text(text, "splitlines");
    }
    BlockSink sink(text);
    StrView(text).visit([&](auto s) { parse_markdown(s, sink); });
    return sink.result();
}

void bind_markdown(nb::module_& m) {
    N.order = interned("order");
    N.text = interned("text");
    N.block_type = interned("block_type");
    N.empty = interned("");
    for (int k = 0; k < kKinds; ++k) N.kinds[k] = interned(kKindNames[k]);
    nb::object sentinel_re = import_attr("re", "compile")(nb::str("^\\s*\\{\\s*\"__kelvo_[a-z_]+__\""));
    m.attr("_ANY_SENTINEL_RE") = sentinel_re;
    N.sentinel_match = nb::object(sentinel_re.attr("match")).release().ptr();

    nb::dict prefixes;
    nb::list list_types;
    for (int k = static_cast<int>(Kind::H1); k <= static_cast<int>(Kind::Quote); ++k) {
        const std::string_view prefix = kLead[k].substr(2);
        prefixes[nb::handle(N.kinds[k])] = nb::str(prefix.data(), prefix.size());
        if (is_list(static_cast<Kind>(k))) list_types.append(nb::handle(N.kinds[k]));
    }
    m.attr("_MD_BLOCK_PREFIX") = prefixes;
    m.attr("_LIST_TYPES") = steal(PyFrozenSet_New(list_types.ptr()));
    nb::list line_types;
    for (const LineType& lt : kLineTypes)
        line_types.append(nb::make_tuple(nb::str(lt.prefix.data(), lt.prefix.size()), nb::handle(name_of(lt.kind))));
    m.attr("_LINE_TYPES") = steal(PyList_AsTuple(line_types.ptr()));
    m.attr("_NUMBERED_RE") = import_attr("re", "compile")(nb::str("^\\d+[.)]\\s+"));

    m.def("blocks_to_markdown", [](nb::handle blocks) { return blocks_to_markdown(blocks); }, nb::arg("blocks").none(),
          "The Markdown of a page's blocks: map elements sorted by `order`, marker blocks left out, "
          "chunks joined by a blank line.",
          nb::sig("def blocks_to_markdown(blocks: Iterable[object] | None) -> str"));
    m.def("markdown_to_blocks", [](nb::handle text) { return markdown_to_blocks(text); },
          nb::arg("text").none(), "A new list of {'block_type', 'text'} maps for a Markdown text, in document order.",
          nb::sig("def markdown_to_blocks(text: str | None) -> list[_Block]"));
}

}  // namespace kelvo::refresh
