"""The release files: the wheel holds the six modules, their stubs and
py.typed and nothing else under kelvo_mcp/ (the host owns the namespace),
tagged manylinux with its metadata; the sdist holds what building needs and
nothing the tree only keeps for development.

The files checked are the wheel the modules under test were installed from,
with the sdist beside it, else the ones scripts/build-dist left in dist/."""

from __future__ import annotations

import email
import email.message
import pathlib
import re
import shutil
import subprocess
import tarfile
import tomllib
import zipfile

import pytest

from which_build import installed_wheel_file

ROOT = pathlib.Path(__file__).resolve().parent.parent
MODULES = ["lexicon", "refresh", "surfaces", "explain", "capabilities", "instructions"]
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
STEM = f"kelvo_mcp_core-{PROJECT['version']}"


def _release() -> tuple[pathlib.Path, pathlib.Path]:
    wheel = installed_wheel_file()
    if wheel is None:
        found = sorted((ROOT / "dist").glob(f"{STEM}-*.whl"))
        if not found:
            pytest.skip("no release to check: scripts/build-dist makes one in dist/")
        wheel = found[-1]
    sdist = wheel.with_name(f"{STEM}.tar.gz")
    assert sdist.exists(), f"no sdist beside {wheel}"
    return wheel, sdist


@pytest.fixture(scope="module")
def wheel() -> pathlib.Path:
    return _release()[0]


@pytest.fixture(scope="module")
def sdist() -> pathlib.Path:
    return _release()[1]


def _metadata(text: str) -> email.message.Message:
    return email.message_from_string(text)


def test_wheel_holds_the_modules_their_stubs_and_nothing_else(wheel):
    names = [n for n in zipfile.ZipFile(wheel).namelist() if not n.endswith("/")]  # files only
    package = sorted(n for n in names if not n.startswith(f"{STEM}.dist-info/"))
    expected = sorted([f"kelvo_mcp/{m}.cpython-314-x86_64-linux-gnu.so" for m in MODULES]
                      + [f"kelvo_mcp/{m}.pyi" for m in MODULES] + ["kelvo_mcp/py.typed"])
    # No __init__.py, no probe, no stand-ins, no grafted libraries (.libs/).
    assert package == expected


def test_wheel_is_tagged_manylinux_for_cpython_314(wheel):
    assert re.fullmatch(rf"{STEM}-cp314-cp314-manylinux_2_\d+_x86_64\.whl", wheel.name), wheel.name
    info = _metadata(zipfile.ZipFile(wheel).read(f"{STEM}.dist-info/WHEEL").decode())
    assert info.get_all("Tag") == [wheel.name.removesuffix(".whl").split("-", 2)[2]]
    assert info["Root-Is-Purelib"] == "false"


def test_wheel_metadata_reads_for_a_host(wheel):
    meta = _metadata(zipfile.ZipFile(wheel).read(f"{STEM}.dist-info/METADATA").decode())
    assert meta["Name"] == "kelvo-mcp-core"
    assert meta["Requires-Python"] == ">=3.14"
    # A range, never an exact pin: the host's own httpx must fit.
    (httpx,) = meta.get_all("Requires-Dist")
    assert httpx.replace(" ", "") in ("httpx<1,>=0.20", "httpx>=0.20,<1")
    classifiers = meta.get_all("Classifier")
    for wanted in ("Programming Language :: Python :: 3.14", "Programming Language :: C++",
                   "Typing :: Typed", "Operating System :: POSIX :: Linux"):
        assert wanted in classifiers
    assert meta["Description-Content-Type"] == "text/markdown"
    assert meta.get_payload().strip() == (ROOT / "README.md").read_text().strip()


@pytest.mark.skipif(shutil.which("git") is None or not (ROOT / ".git").exists(),
                    reason="the tree's file list comes from git")
def test_sdist_holds_what_building_needs_and_nothing_else(sdist):
    with tarfile.open(sdist) as tar:
        members = [m.name for m in tar.getmembers() if m.isfile()]
    assert all(m.startswith(f"{STEM}/") for m in members)
    inside = sorted(m.removeprefix(f"{STEM}/") for m in members)
    tracked = subprocess.run(["git", "ls-files", "--", "src", "cmake", "docs"], cwd=ROOT,
                             capture_output=True, text=True, check=True).stdout.split()
    expected = sorted(["pyproject.toml", "CMakeLists.txt", "README.md", "PKG-INFO", *tracked])
    # Every source, CMake file and page that git holds; no tests, stand-ins,
    # scripts, build trees, venvs or caches.
    assert inside == expected
