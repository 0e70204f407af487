// kelvo_mcp.lexicon: the page vocabulary and its two checks.
#include "common/py.hpp"
#include "common/text.hpp"
#include "lexicon/vocab.hpp"

namespace nb = nanobind;
using namespace kelvo;
using namespace kelvo::lexicon;

namespace {

size_t icon_max_utf16 = 0;  // from VOCAB at load

nb::object frozen(nb::handle items) { return steal(PyFrozenSet_New(items.ptr())); }
nb::object as_tuple(nb::handle items) { return steal(PySequence_Tuple(items.ptr())); }

size_t utf16_len(nb::handle s) {
    if (!PyUnicode_Check(s.ptr())) raise_no_attribute(s, "encode");
    return utf16_units(s);
}

bool icon_ok(nb::handle s) {
    if (!PyUnicode_Check(s.ptr())) raise_no_attribute(s, "strip");
    StrView v(s);
    auto [b, e] = trim_bounds(v);
    if (b == e) return false;
    size_t units = e - b;
    if (v.kind() == PyUnicode_4BYTE_KIND)
        for (size_t i = b; i < e && units <= icon_max_utf16; ++i) units += v[i] > 0xFFFF;
    return units <= icon_max_utf16;
}

}  // namespace

NB_MODULE(lexicon, m) {
    kelvo::InitOnce once("kelvo_mcp.lexicon");
    m.doc() = "Page vocabulary: block types, aliases, colours, media rules and limits.";
    nb::object vocab = import_attr("json", "loads")(nb::str(kVocabJson));
    auto get = [&](const char* key) { return vocab[key]; };

    m.attr("SOURCE_SHA") = kSourceSha;
    m.attr("VOCAB") = vocab;
    m.attr("COLORS") = frozen(get("colors"));
    m.attr("CALLOUT_VARIANTS") = frozen(get("callout_variants"));
    m.attr("TODO_FLAGS") = frozen(get("todo_flags"));
    m.attr("COVERS") = frozen(get("covers"));
    // A new list: VOCAB's own "block_types" stays as it is.
    nb::object types = steal(PySequence_List(get("block_types").ptr()));
    for (nb::handle t : get("legacy_block_types"))
        if (PyList_Append(types.ptr(), t.ptr()) < 0) raise_current();
    m.attr("BLOCK_TYPES") = frozen(types);
    m.attr("BLOCK_TYPE_ALIASES") = steal(PyDict_Copy(get("block_type_aliases").ptr()));
    m.attr("BLOCK_TYPE_FALLBACK") = get("block_type_fallback");
    nb::list names;
    for (nb::handle ill : get("illustrations")) names.append(ill["name"]);
    m.attr("ILLUSTRATION_NAMES") = as_tuple(names);
    m.attr("ILLUSTRATION_SIZES") = as_tuple(get("illustration_sizes"));
    m.attr("MEDIA_SCHEMES") = as_tuple(get("media_schemes"));
    m.attr("SPACE_MIN") = get("space_min");
    m.attr("SPACE_MAX") = get("space_max");
    m.attr("ICON_MAX_UTF16") = get("icon_max_utf16");
    icon_max_utf16 = nb::cast<size_t>(get("icon_max_utf16"));
    m.attr("CARD_WIDTH_MIN") = get("card_width_min");
    m.attr("CARD_WIDTH_MAX") = get("card_width_max");
    m.attr("CARD_WIDTH_DEFAULT") = get("card_width_default");
    m.attr("CARD_HEIGHT_MIN") = get("card_height_min");

    m.def("utf16_len", &utf16_len, nb::arg("s").none(),
          "Number of UTF-16 code units in s (astral code points count 2, lone surrogates 1).",
          nb::sig("def utf16_len(s: str) -> int"));
    m.def("icon_ok", &icon_ok, nb::arg("s").none(),
          "Whether s, stripped of whitespace, is non-empty and at most ICON_MAX_UTF16 UTF-16 units.",
          nb::sig("def icon_ok(s: str) -> bool"));
    once.done();
}
