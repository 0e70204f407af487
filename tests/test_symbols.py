"""Every built module exports exactly one dynamic symbol: PyInit_<name>."""

import importlib
import pathlib
import shutil
import subprocess

import pytest

MODULES = ["lexicon", "refresh", "surfaces", "explain", "capabilities", "instructions"]


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
@pytest.mark.parametrize("name", MODULES)
def test_module_exports_only_its_init(name):
    module = importlib.import_module(f"kelvo_mcp.{name}")
    path = pathlib.Path(module.__file__)
    out = subprocess.run(["nm", "-D", "--defined-only", str(path)], capture_output=True, text=True, check=True)
    symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert symbols == [f"PyInit_{name}"]
