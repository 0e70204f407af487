// The handshake text: what an agent is shown when a connection starts -- the
// default posture, the approved always-on docs in full within a character
// budget, and the triggers of the approved skills. When approvals cannot be
// read, or nothing is approved, it says so in fixed words instead.
#include <climits>
#include <string>
#include <tuple>
#include <vector>

#include "common/writer.hpp"
#include "common/text.hpp"
#include "common/value.hpp"
#include "refresh/bindings.hpp"
#include "refresh/builtin.hpp"
#include "refresh/digest.hpp"
#include "refresh/fixed_texts.hpp"
#include "refresh/registry.hpp"

namespace kelvo::refresh {

namespace {

struct Texts {
    PyObject *posture, *fail_start, *fail_end, *nothing_approved, *heading_start, *heading_end;
    PyObject *left_start, *left_after_budget, *left_end, *skills_heading, *comma_format;
};
Texts T{};

PyObject* keep(nb::object o) { return o.release().ptr(); }
PyObject* utf8(const std::string& s) { return keep(steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())))); }

using Writer = TextWriter;

// Tool names in a fixed text, respelled through `display`: every match of
// kelvo_[a-z_]+, left to right and greedy, except one ending in "__" (a
// marker key, not a tool).
class Respeller {
public:
    explicit Respeller(nb::handle display) : display_(display) {}

    nb::str operator()(nb::handle text) const {
        if (display_.is_none()) return nb::borrow<nb::str>(text);
        StrView s(text);
        const size_t n = s.size();
        Writer out;
        size_t copied = 0, i = 0;
        bool any = false;
        while (i + 6 < n) {
            if (!(s[i] == U'k' && s[i + 1] == U'e' && s[i + 2] == U'l' && s[i + 3] == U'v' && s[i + 4] == U'o' &&
                  s[i + 5] == U'_')) {
                ++i;
                continue;
            }
            size_t e = i + 6;
            while (e < n && ((s[e] >= U'a' && s[e] <= U'z') || s[e] == U'_')) ++e;
            if (e == i + 6) {
                ++i;
                continue;
            }
            if (!(s[e - 1] == U'_' && s[e - 2] == U'_')) {
                nb::object name = steal(PyUnicode_Substring(text.ptr(), static_cast<Py_ssize_t>(i), static_cast<Py_ssize_t>(e)));
                nb::object shown = steal(PyObject_CallOneArg(display_.ptr(), name.ptr()));
                if (!PyUnicode_Check(shown.ptr())) {
                    PyErr_Format(PyExc_TypeError, "expected str instance, %.200s found", Py_TYPE(shown.ptr())->tp_name);
                    raise_current();
                }
                out.sub(text, static_cast<Py_ssize_t>(copied), static_cast<Py_ssize_t>(i));
                out.str(shown);
                copied = e;
                any = true;
            }
            i = e;
        }
        if (!any) return nb::borrow<nb::str>(text);
        out.sub(text, static_cast<Py_ssize_t>(copied), static_cast<Py_ssize_t>(n));
        return out.finish();
    }

private:
    nb::handle display_;
};

// What is left of the budget: C arithmetic for an int or a float (as
// Python's own would give), the interpreter's for any other number.
class Budget {
public:
    Budget(nb::handle cap, size_t spent) {
        if (PyLong_CheckExact(cap.ptr()) || PyBool_Check(cap.ptr())) {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(cap.ptr(), &overflow);
            if (v == -1 && PyErr_Occurred()) raise_current();
            // Far beyond any text length, and clear of overflow either way.
            constexpr long long kFar = LLONG_MAX / 4;
            if (overflow > 0 || v > kFar) v = kFar;
            if (overflow < 0 || v < -kFar) v = -kFar;
            kind_ = Int;
            i_ = v - static_cast<long long>(spent);
        } else if (PyFloat_CheckExact(cap.ptr())) {
            kind_ = Float;
            f_ = PyFloat_AS_DOUBLE(cap.ptr()) - static_cast<double>(spent);
        } else {
            kind_ = Object;
            o_ = steal(PyNumber_Subtract(cap.ptr(), nb::int_(spent).ptr()));
        }
    }
    bool fits(size_t need) const {
        switch (kind_) {
            case Int: return static_cast<long long>(need) <= i_;
            case Float: return static_cast<double>(need) <= f_;
            default: {
                const int r = PyObject_RichCompareBool(nb::int_(need).ptr(), o_.ptr(), Py_LE);
                if (r < 0) raise_current();
                return r == 1;
            }
        }
    }
    void take(size_t need) {
        switch (kind_) {
            case Int: i_ -= static_cast<long long>(need); break;
            case Float: f_ -= static_cast<double>(need); break;
            default: o_ = steal(PyNumber_Subtract(o_.ptr(), nb::int_(need).ptr()));
        }
    }

private:
    enum { Int, Float, Object } kind_;
    long long i_ = 0;
    double f_ = 0.0;
    nb::object o_;
};

nb::object stripped(nb::handle body) {
    if (PyUnicode_Check(body.ptr())) return trim(body);
    return steal(PyObject_CallMethod(body.ptr(), "strip", nullptr));
}

nb::str join(const std::vector<nb::object>& parts) {
    Writer w;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) w.ascii("\n\n");
        w.str(parts[i]);
    }
    return w.finish();
}

nb::str handshake_text(nb::handle docs_in, nb::handle cap_chars, nb::handle error, nb::handle display,
                       nb::handle kelvo_first) {
    const Respeller fix_names(display);
    std::vector<nb::object> parts;
    if (truthy(kelvo_first)) parts.push_back(fix_names(T.posture));

    if (docs_in.is_none()) {
        Writer line;
        line.str(T.fail_start);
        if (truthy(error)) {
            line.ascii(" (");
            line.str(str_form(error));
            line.ascii(")");
        }
        line.str(T.fail_end);
        parts.push_back(fix_names(line.finish()));
        return join(parts);
    }

    nb::list docs = visible_docs(docs_in);
    const Py_ssize_t n = PyList_GET_SIZE(docs.ptr());
    if (n && !approvals_reported(docs)) {
        parts.push_back(nb::borrow(unreported_note()));
        return join(parts);
    }

    std::vector<nb::handle> instr, skills;
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::handle d(PyList_GET_ITEM(docs.ptr(), i));
        if (!is_instruction(d)) continue;
        (equals(doc_field(d, Field::kind), words().skill) ? skills : instr).push_back(d);
    }
    if (instr.empty() && skills.empty()) {
        parts.push_back(nb::borrow(T.nothing_approved));
        return join(parts);
    }

    Writer heading;
    heading.str(T.heading_start);
    heading.str(instructions_version(docs));
    heading.str(T.heading_end);
    nb::str head = heading.finish();
    std::vector<nb::object> out{head};
    Budget left(cap_chars, static_cast<size_t>(PyUnicode_GET_LENGTH(head.ptr())));
    std::vector<nb::object> skipped;
    for (nb::handle d : instr) {
        nb::str name = str_form(doc_field(d, Field::name));
        // The block's length is known before it is built: most docs that do
        // not fit are never copied.
        nb::object body = doc_field(d, Field::body);
        size_t b = 0, e = 0;
        if (PyUnicode_Check(body.ptr())) {
            std::tie(b, e) = trim_bounds(StrView(body));
        } else {
            body = str_form(stripped(body));
            e = static_cast<size_t>(PyUnicode_GET_LENGTH(body.ptr()));
        }
        const size_t need = 3 + static_cast<size_t>(PyUnicode_GET_LENGTH(name.ptr())) + 1 + (e - b) + 2;  // and its separator
        if (!left.fits(need)) {
            skipped.push_back(name);
            continue;
        }
        Writer block;
        block.ascii("## ");
        block.str(name);
        block.ascii("\n");
        block.sub(body, static_cast<Py_ssize_t>(b), static_cast<Py_ssize_t>(e));
        out.push_back(block.finish());
        left.take(need);
    }

    if (!skipped.empty()) {
        // Only the note's own words are respelled: a doc may legitimately be
        // named like a tool, and a doc is always shown under its own name.
        Writer lead;
        lead.str(T.left_start);
        lead.str(steal(PyObject_Format(cap_chars.ptr(), T.comma_format)));
        lead.str(T.left_after_budget);
        Writer note;
        note.str(fix_names(lead.finish()));
        for (size_t i = 0; i < skipped.size(); ++i) {
            if (i) note.ascii(", ");
            note.str(skipped[i]);
        }
        note.str(fix_names(T.left_end));
        out.push_back(note.finish());
    }

    if (!skills.empty()) {
        Writer section;
        section.str(fix_names(T.skills_heading));
        for (nb::handle d : skills) {
            section.ascii("\n- ");
            section.str(str_form(doc_field(d, Field::name)));
            section.ascii(": ");
            section.str(str_form(one_liner(d)));
        }
        out.push_back(section.finish());
    }

    parts.push_back(join(out));
    return join(parts);
}

}  // namespace

void bind_handshake(nb::module_& m) {
    T.posture = utf8(std::string(texts::kPostureHeading) + "\n" + kKelvoFirstBody);
    T.fail_start = utf8(texts::kReadFailureStart);
    T.fail_end = utf8(texts::kReadFailureEnd);
    T.nothing_approved = utf8(texts::kNothingApproved);
    T.heading_start = utf8(texts::kInstructionsHeadingStart);
    T.heading_end = utf8(texts::kInstructionsHeadingEnd);
    T.left_start = utf8(texts::kLeftOutStart);
    T.left_after_budget = utf8(texts::kLeftOutAfterBudget);
    T.left_end = utf8(texts::kLeftOutEnd);
    T.skills_heading = utf8(texts::kSkillsHeading);
    T.comma_format = utf8(",");

    m.attr("HANDSHAKE_CHARS") = nb::int_(kHandshakeChars);
    m.def("handshake_text",
          [](nb::handle docs, nb::handle cap_chars, nb::handle error, nb::handle display, nb::handle kelvo_first) {
              return handshake_text(docs, cap_chars, error, display, kelvo_first);
          },
          nb::arg("docs").none(), nb::kw_only(), nb::arg("cap_chars").none() = nb::int_(kHandshakeChars),
          nb::arg("error").none() = nb::none(), nb::arg("display").none() = nb::none(),
          nb::arg("kelvo_first").none() = true, "The standing instructions shown in full at connection start.");
}

}  // namespace kelvo::refresh
