"""Each module's page under docs/ names everything the module exports, so a
new or renamed export cannot go undocumented."""

import importlib
import pathlib
import re

import pytest

DOCS = pathlib.Path(__file__).resolve().parents[2] / "docs"
MODULES = ["lexicon", "refresh", "surfaces", "explain", "capabilities", "instructions"]


@pytest.mark.parametrize("module", MODULES)
def test_module_page_names_every_export(module):
    mod = importlib.import_module(f"kelvo_mcp.{module}")
    exported = getattr(mod, "__all__", None) or [n for n in vars(mod) if not n.startswith("_")]
    page = (DOCS / f"{module}.md").read_text()
    documented = set(re.findall(r"`([A-Za-z_][A-Za-z0-9_]*)", page))
    missing = sorted(set(exported) - documented)
    assert not missing, f"docs/{module}.md does not mention {missing}"
