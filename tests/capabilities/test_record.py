"""The Capabilities record: fields and defaults, value semantics, the derived
key and absent members, and the banner."""

import copy
import pickle

import pytest
from hypothesis import given, settings, strategies as st

from kelvo_mcp.capabilities import NEEDS_PAGES, Capabilities

PAGE_TOOLS = {
    "kelvo_page_list", "kelvo_page_get", "kelvo_page_create", "kelvo_page_write",
    "kelvo_page_append", "kelvo_page_update", "kelvo_page_delete", "kelvo_page_insert",
    "kelvo_page_move", "kelvo_page_rename", "kelvo_page_meta", "kelvo_page_restore",
    "kelvo_page_removed", "kelvo_docs_refresh", "kelvo_doc_list", "kelvo_doc_get",
    "kelvo_doc_save", "kelvo_doc_delete", "kelvo_learn", "kelvo_docs_export",
    "kelvo_page_export", "kelvo_page_import",
}


def test_needs_pages_is_the_frozen_set_of_page_and_doc_tools():
    assert type(NEEDS_PAGES) is frozenset
    assert NEEDS_PAGES == PAGE_TOOLS and len(NEEDS_PAGES) == 22


def test_defaults_and_field_order():
    c = Capabilities()
    assert (c.pages, c.source, c.role, c.scopes) == (True, "fail-open", "", ())
    assert Capabilities(False, "probe", "admin", ("read",)) == Capabilities(
        pages=False, source="probe", role="admin", scopes=("read",))
    assert Capabilities.__match_args__ == ("pages", "source", "role", "scopes")
    assert repr(Capabilities(False, "probe")) == "Capabilities(pages=False, source='probe', role='', scopes=())"


def test_value_semantics_and_immutability():
    a = Capabilities(True, "capabilities", "admin", ("read", "write"))
    b = Capabilities(True, "capabilities", "admin", ("read", "write"))
    assert a == b and hash(a) == hash(b) and len({a, b}) == 1
    assert a != Capabilities(True, "capabilities", "admin", ("write", "read"))
    with pytest.raises(AttributeError):
        a.pages = False
    assert pickle.loads(pickle.dumps(a)) == a
    assert copy.replace(a, pages=False) == Capabilities(False, "capabilities", "admin", ("read", "write"))


def test_key_is_empty_without_role_and_scopes():
    assert Capabilities().key == {}
    assert Capabilities(role="admin").key == {"role": "admin", "scopes": []}
    key = Capabilities(role="", scopes=("read", "write")).key
    assert key == {"role": "", "scopes": ["read", "write"]} and list(key) == ["role", "scopes"]
    # A new map every time: the caller may change it.
    c = Capabilities(role="admin", scopes=("read",))
    c.key["scopes"].append("write")
    assert c.key == {"role": "admin", "scopes": ["read"]}


def test_absent_is_the_shared_set_or_empty():
    assert Capabilities(pages=False).absent is NEEDS_PAGES
    served = Capabilities().absent
    assert served == frozenset() and type(served) is frozenset


@pytest.mark.parametrize("pages, source, text", [
    (True, "probe", "pages served · via probe"),
    (True, "fail-open", "pages served · via fail-open"),
    (True, "undecided", "pages served · via undecided"),
    (False, "probe", "NO pages on this engine (page/doc tools hidden) · via probe"),
    (False, "capabilities", "NO pages on this engine (page/doc tools hidden) · via capabilities"),
])
def test_banner(pages, source, text):
    assert Capabilities(pages, source).banner() == text


def test_constructor_refuses_bad_arguments():
    with pytest.raises(TypeError):
        Capabilities(True, "probe", "", (), "extra")
    with pytest.raises(TypeError):
        Capabilities(colour="blue")


texts = st.text(max_size=8)


@settings(max_examples=60)
@given(st.booleans(), texts, texts, st.lists(texts, max_size=3).map(tuple))
def test_equal_records_hash_alike_and_derived_members_agree(pages, source, role, scopes):
    a, b = Capabilities(pages, source, role, scopes), Capabilities(pages, source, role, scopes)
    assert a == b and hash(a) == hash(b)
    assert a.key == ({} if not role and not scopes else {"role": role, "scopes": list(scopes)})
    assert a.absent == (frozenset() if pages else NEEDS_PAGES)
    assert a.banner().endswith(" · via " + source)


def test_derived_members_of_hostile_fields():
    class Loud:
        def __bool__(self):
            raise ValueError("no truth here")

        def __format__(self, format_string):
            raise LookupError("no format")

    with pytest.raises(ValueError):
        Capabilities(pages=Loud()).absent
    with pytest.raises(ValueError):
        Capabilities(role=Loud()).key
    with pytest.raises(LookupError):
        Capabilities(source=Loud()).banner()
    with pytest.raises(TypeError):
        Capabilities(role="x", scopes=5).key
    with pytest.raises(TypeError):
        hash(Capabilities(scopes=["read"]))
