"""A host script type-checks under `mypy --strict` against the stubs the
installed wheel put beside the modules, with nothing from this tree on mypy's
path: what a host's own type check sees after `pip install`."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

from which_build import installed_wheel

pytestmark = pytest.mark.skipif(installed_wheel() is None, reason=(
    "needs the modules installed from a wheel; test_stubs.py checks the developer build's stubs in the tree"))


def _mypy(tmp_path: pathlib.Path, script: pathlib.Path) -> subprocess.CompletedProcess[str]:
    # The interpreter the wheel was installed into (cp314 or cp315).
    (tmp_path / "mypy.ini").write_text(f"[mypy]\npython_version = {sys.version_info.major}.{sys.version_info.minor}\n")
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--config-file", "mypy.ini",
                           "--cache-dir", "cache", script.name], cwd=tmp_path, env=env, capture_output=True, text=True)


def test_host_script_type_checks_against_the_installed_stubs(tmp_path):
    # Under --strict, stubs that were not found fail the check (a module
    # installed without stubs or py.typed), so a pass means they were read.
    script = shutil.copy(pathlib.Path(__file__).with_name("host_example.py"), tmp_path)
    run = _mypy(tmp_path, pathlib.Path(script))
    assert run.returncode == 0, run.stdout + run.stderr

