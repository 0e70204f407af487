"""The release files: the wheel the modules under test were installed from and
the sdist beside it (scripts/build-dist makes both)."""

from __future__ import annotations

import email
import importlib.util
import pathlib
import platform
import re
import shutil
import subprocess
import sys
import tarfile
import tomllib
import zipfile

import pytest

from which_build import installed_wheel_file

ROOT = pathlib.Path(__file__).resolve().parent.parent
MODULES = ["lexicon", "refresh", "surfaces", "explain", "capabilities", "instructions"]
STEM = f"kelvo_mcp_core-{tomllib.loads((ROOT / 'pyproject.toml').read_text())['project']['version']}"
# The wheel under test is the one for the interpreter and machine (or the
# emulated one) running us.
ARCH = platform.machine()
CP = f"cp{sys.version_info.major}{sys.version_info.minor}"
# glibc's own libraries: before 2.34 the threads and dynamic-loading calls
# live in libpthread and libdl, which manylinux allows beside libc and libm.
GLIBC_LIBS = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2",
              "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}


@pytest.fixture(scope="module")
def wheel() -> pathlib.Path:
    # Never a dist/ left from an earlier build: it may predate the tree.
    found = installed_wheel_file()
    if found is None:
        pytest.skip("checks the release the modules under test came from: "
                    "scripts/build-dist && scripts/test-wheel")
    return found


def test_wheel_holds_the_six_modules_and_their_stubs_under_a_manylinux_tag(wheel):
    archive = zipfile.ZipFile(wheel)
    files = sorted(n for n in archive.namelist() if not n.endswith("/") and ".dist-info/" not in n)
    # No __init__.py (the host owns the namespace), no probe, no stand-ins,
    # no grafted libraries.
    assert files == sorted([f"kelvo_mcp/{m}.cpython-{CP[2:]}-{ARCH}-linux-gnu.so" for m in MODULES]
                           + [f"kelvo_mcp/{m}.pyi" for m in MODULES] + ["kelvo_mcp/py.typed"])
    # glibc 2.28 at most: what the wheels are built against, so that hosts
    # from RHEL 8 and Debian 10 on can install them. A wheel may carry more
    # than one platform tag (manylinux2014 beside manylinux_2_17).
    platforms = re.fullmatch(rf"{STEM}-{CP}-{CP}-(.+)\.whl", wheel.name)[1].split(".")
    assert all(p.startswith("manylinux") and p.endswith(f"_{ARCH}") for p in platforms), wheel.name
    floors = [int(m[1]) for p in platforms if (m := re.fullmatch(rf"manylinux_2_(\d+)_{ARCH}", p))]
    assert floors and max(floors) <= 28, wheel.name
    info = email.message_from_bytes(archive.read(f"{STEM}.dist-info/WHEEL"))
    assert sorted(info.get_all("Tag")) == sorted(f"{CP}-{CP}-{p}" for p in platforms)


@pytest.mark.skipif(shutil.which("readelf") is None, reason="readelf is not installed")
def test_wheel_modules_link_glibc_alone_and_no_newer_than_2_28(wheel):
    # The C++ runtime (libc++ or libstdc++) is linked in statically. One left
    # dynamic would still pass auditwheel (manylinux allows libstdc++), so it
    # is caught here; so is a glibc symbol newer than the wheels' floor.
    for name in MODULES:
        path = importlib.util.find_spec(f"kelvo_mcp.{name}").origin
        dynamic = subprocess.run(["readelf", "-d", path], capture_output=True, text=True, check=True).stdout
        needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", dynamic))
        assert "libc.so.6" in needed, (name, dynamic)
        assert needed <= GLIBC_LIBS, (name, needed - GLIBC_LIBS)
        versions = subprocess.run(["readelf", "-V", "--wide", path], capture_output=True, text=True,
                                  check=True).stdout
        glibc = {tuple(map(int, v.split("."))) for v in re.findall(r"Name: GLIBC_([\d.]+)", versions)}
        assert glibc and max(glibc) <= (2, 28), (name, sorted(glibc))


def test_wheel_metadata_reads_for_a_host(wheel):
    meta = email.message_from_string(zipfile.ZipFile(wheel).read(f"{STEM}.dist-info/METADATA").decode())
    assert meta["Requires-Python"] == ">=3.14"
    # A range, never an exact pin: the host's own httpx must fit.
    assert [d.replace(" ", "") for d in meta.get_all("Requires-Dist")] == ["httpx<1,>=0.23.1"]
    # No upper bound: a later CPython installs the sdist; the two with wheels are named.
    assert {"Programming Language :: Python :: 3.14", "Programming Language :: Python :: 3.15",
            "Programming Language :: C++", "Typing :: Typed",
            "Operating System :: POSIX :: Linux"} <= set(meta.get_all("Classifier"))
    assert meta["Description-Content-Type"] == "text/markdown"
    assert meta.get_payload().strip() == (ROOT / "README.md").read_text().strip()


@pytest.mark.skipif(shutil.which("git") is None or not (ROOT / ".git").exists(),
                    reason="the tree's file list comes from git")
def test_sdist_holds_what_building_needs_and_nothing_else(wheel):
    with tarfile.open(wheel.with_name(f"{STEM}.tar.gz")) as tar:
        inside = sorted(m.name.removeprefix(f"{STEM}/") for m in tar.getmembers() if m.isfile())
    tracked = subprocess.run(["git", "ls-files", "--", "src", "cmake", "docs"], cwd=ROOT,
                             capture_output=True, text=True, check=True).stdout.split()
    # Every source, CMake file and page git holds; no tests, stand-ins,
    # scripts, build trees, venvs or caches.
    assert inside == sorted(["pyproject.toml", "CMakeLists.txt", "README.md", "PKG-INFO", *tracked])
