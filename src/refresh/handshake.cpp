// The handshake text: what an agent is shown when a connection starts -- the
// default posture, the approved always-on docs in full within a character
// budget, and the triggers of the approved skills. When approvals cannot be
// read, or nothing is approved, it says so in fixed words instead.
#include <string>
#include <tuple>
#include <vector>

#include "common/text.hpp"
#include "common/tool_names.hpp"
#include "common/writer.hpp"
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
Texts handshake_texts{};

// Tool names in a fixed text, respelled through `display`; a match ending
// in "__" is a marker key, not a tool, and stays as it is.
class Respeller {
public:
    explicit Respeller(nb::handle display) : display_(display) {}

    nb::str operator()(nb::handle text) const {
        if (display_.is_none()) return nb::borrow<nb::str>(text);
        return nb::borrow<nb::str>(substitute_names(
            text, [&](nb::handle name) { return steal(PyObject_CallOneArg(display_.ptr(), name.ptr())); }));
    }

private:
    nb::handle display_;
};

// n as a Python int, for the budget's arithmetic.
nb::object py_int(size_t n) { return steal(PyLong_FromSize_t(n)); }

nb::str join(const std::vector<nb::object>& parts) {
    TextWriter w;
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
    if (truthy(kelvo_first)) parts.push_back(fix_names(handshake_texts.posture));

    if (docs_in.is_none()) {
        TextWriter line;
        line.str(handshake_texts.fail_start);
        if (truthy(error)) {
            line.ascii(" (");
            line.str(str_form(error));
            line.ascii(")");
        }
        line.str(handshake_texts.fail_end);
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
        (equal(doc_field(d, Field::kind), words().skill) ? skills : instr).push_back(d);
    }
    if (instr.empty() && skills.empty()) {
        parts.push_back(nb::borrow(handshake_texts.nothing_approved));
        return join(parts);
    }

    TextWriter heading;
    nb::str head = heading.text(handshake_texts.heading_start).str(instructions_version(docs)).text(handshake_texts.heading_end).finish();
    std::vector<nb::object> out{head};
    // The budget is the host's number, in the host's own arithmetic.
    nb::object left = steal(PyNumber_Subtract(cap_chars.ptr(), py_int(PyUnicode_GET_LENGTH(head.ptr())).ptr()));
    std::vector<nb::object> skipped;
    for (nb::handle d : instr) {
        nb::str name = str_form(doc_field(d, Field::name));
        // The body stripped: a str's bounds (most docs that do not fit are
        // never copied), anything else through its own strip().
        nb::object body = doc_field(d, Field::body);
        size_t b = 0, e = 0;
        if (PyUnicode_Check(body.ptr())) {
            std::tie(b, e) = trim_bounds(StrView(body));
        } else {
            body = str_form(stripped(body));
            e = static_cast<size_t>(PyUnicode_GET_LENGTH(body.ptr()));
        }
        // "## " name "\n" body, and the separator in front of it.
        nb::object need = py_int(3 + PyUnicode_GET_LENGTH(name.ptr()) + 1 + (e - b) + 2);
        const int fits = PyObject_RichCompareBool(need.ptr(), left.ptr(), Py_LE);
        if (fits < 0) raise_current();
        if (!fits) {
            skipped.push_back(name);
            continue;
        }
        TextWriter block;
        block.ascii("## ").str(name).ascii("\n").sub(body, static_cast<Py_ssize_t>(b), static_cast<Py_ssize_t>(e));
        out.push_back(block.finish());
        left = steal(PyNumber_Subtract(left.ptr(), need.ptr()));
    }

    if (!skipped.empty()) {
        // Only the note's own words are respelled: a doc may legitimately be
        // named like a tool, and a doc is always shown under its own name.
        TextWriter lead;
        lead.str(handshake_texts.left_start);
        lead.str(steal(PyObject_Format(cap_chars.ptr(), handshake_texts.comma_format)));
        lead.str(handshake_texts.left_after_budget);
        TextWriter note;
        note.str(fix_names(lead.finish()));
        for (size_t i = 0; i < skipped.size(); ++i) {
            if (i) note.ascii(", ");
            note.str(skipped[i]);
        }
        note.str(fix_names(handshake_texts.left_end));
        out.push_back(note.finish());
    }

    if (!skills.empty()) {
        TextWriter section;
        section.str(fix_names(handshake_texts.skills_heading));
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
    handshake_texts.posture = kept_str((std::string(texts::kPostureHeading) + "\n" + kKelvoFirstBody).c_str());
    handshake_texts.fail_start = kept_str(texts::kReadFailureStart);
    handshake_texts.fail_end = kept_str(texts::kReadFailureEnd);
    handshake_texts.nothing_approved = kept_str(texts::kNothingApproved);
    handshake_texts.heading_start = kept_str(texts::kInstructionsHeadingStart);
    handshake_texts.heading_end = kept_str(texts::kInstructionsHeadingEnd);
    handshake_texts.left_start = kept_str(texts::kLeftOutStart);
    handshake_texts.left_after_budget = kept_str(texts::kLeftOutAfterBudget);
    handshake_texts.left_end = kept_str(texts::kLeftOutEnd);
    handshake_texts.skills_heading = kept_str(texts::kSkillsHeading);
    handshake_texts.comma_format = interned(",");

    m.attr("HANDSHAKE_CHARS") = nb::int_(kHandshakeChars);
    m.def("handshake_text",
          [](nb::handle docs, nb::handle cap_chars, nb::handle error, nb::handle display, nb::handle kelvo_first) {
              return handshake_text(docs, cap_chars, error, display, kelvo_first);
          },
          nb::arg("docs").none(), nb::kw_only(), nb::arg("cap_chars").none() = nb::int_(kHandshakeChars),
          nb::arg("error").none() = nb::none(), nb::arg("display").none() = nb::none(),
          nb::arg("kelvo_first").none() = true, "The standing instructions shown in full at connection start.",
          nb::sig("def handshake_text(docs: Sequence[DocInfo] | None, *, cap_chars: int = 4000, error: str | None = None, display: Callable[[str], str] | None = None, kelvo_first: bool = True) -> str"));
}

}  // namespace kelvo::refresh
