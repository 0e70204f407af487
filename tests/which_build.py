"""Which build of the modules the tests are running against.

The developer build (scripts/setup.sh, an editable install) and the
reliability variants (scripts/check-reliability) are built from this tree and
carry the test-only probe `kelvo_mcp._probe`. A release wheel installed with
pip carries the six modules and their stubs, nothing else; CI runs the suite
against one. Tests that need the one or the other ask here, so they skip
with the reason against the other build instead of failing on a missing file.
"""

from __future__ import annotations

import importlib
import importlib.metadata
import json
import pathlib
import types
import urllib.parse
import urllib.request

import pytest

DISTRIBUTION = "kelvo-mcp-core"


def installed_wheel() -> importlib.metadata.Distribution | None:
    """The installed distribution when the modules come from a wheel that pip
    installed (from a file or an index), None for the developer build and the
    reliability variants."""
    try:
        dist = importlib.metadata.distribution(DISTRIBUTION)
    except importlib.metadata.PackageNotFoundError:
        return None
    origin = json.loads(dist.read_text("direct_url.json") or "{}")
    if origin.get("dir_info", {}).get("editable"):
        return None
    return dist


def installed_wheel_file() -> pathlib.Path | None:
    """The wheel file pip installed the modules from, when it was a local file."""
    dist = installed_wheel()
    if dist is None:
        return None
    url = json.loads(dist.read_text("direct_url.json") or "{}").get("url", "")
    if not url.startswith("file:"):
        return None
    return pathlib.Path(urllib.request.url2pathname(urllib.parse.urlparse(url).path))


def probe() -> types.ModuleType:
    """`kelvo_mcp._probe`; against an installed wheel, which never holds it,
    the calling test module is skipped."""
    try:
        return importlib.import_module("kelvo_mcp._probe")
    except ImportError:
        if installed_wheel() is None:
            raise  # the developer build and the variants always build it
        pytest.skip("kelvo_mcp._probe is built into the developer build only (KELVO_TEST_PROBE=ON), "
                    "never into the wheel under test", allow_module_level=True)
