"""A host script type-checks under `mypy --strict` against the stubs the
installed wheel put beside the modules, with nothing from this tree on
mypy's path: what a host's own type check sees after `pip install`."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

from which_build import installed_wheel

HERE = pathlib.Path(__file__).resolve().parent

pytestmark = pytest.mark.skipif(
    installed_wheel() is None,
    reason="needs the modules installed from a wheel; the developer build's stubs are "
           "checked from the tree by test_stubs.py")


def _mypy(tmp_path: pathlib.Path, script: pathlib.Path) -> subprocess.CompletedProcess[str]:
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\npython_version = 3.14\n")
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--config-file", str(config),
         "--cache-dir", str(tmp_path / "cache"), str(script)],
        cwd=tmp_path, env=env, capture_output=True, text=True)


def test_host_script_type_checks_against_the_installed_stubs(tmp_path):
    script = shutil.copy(HERE / "host_example.py", tmp_path / "host_example.py")
    run = _mypy(tmp_path, pathlib.Path(script))
    assert run.returncode == 0, run.stdout + run.stderr


def test_installed_stubs_are_read_not_skipped(tmp_path):
    # Were the stubs not found, every module would be Any and the check above
    # would pass vacuously (or fail on a missing import, which --strict reports).
    bad = tmp_path / "misuse.py"
    bad.write_text("from kelvo_mcp.lexicon import utf16_len\n"
                   "from kelvo_mcp.refresh import DocInfo\n\n"
                   "n: str = utf16_len(3)\n"
                   "d: DocInfo = DocInfo()\n")
    run = _mypy(tmp_path, bad)
    assert run.returncode == 1, run.stdout + run.stderr
    assert 'incompatible type "int"' in run.stdout
    assert "Incompatible types in assignment" in run.stdout
    assert "Missing positional argument" in run.stdout or "Missing named argument" in run.stdout
