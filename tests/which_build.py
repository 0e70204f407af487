"""Which build the tests run against: the developer build (scripts/setup.sh)
and the reliability variants carry the test-only probe kelvo_mcp._probe; a
wheel installed with pip, which CI tests, carries the six modules and their
stubs only. Tests needing one build skip against the other, saying why."""

from __future__ import annotations

import importlib
import importlib.metadata
import json
import pathlib
import types
import urllib.parse


def installed_wheel() -> dict | None:
    """pip's record of where the modules were installed from (empty when from
    an index), or None when they are not an installed wheel."""
    try:
        dist = importlib.metadata.distribution("kelvo-mcp-core")
    except importlib.metadata.PackageNotFoundError:
        return None
    origin = json.loads(dist.read_text("direct_url.json") or "{}")
    return None if origin.get("dir_info", {}).get("editable") else origin


def installed_wheel_file() -> pathlib.Path | None:
    url = (installed_wheel() or {}).get("url", "")
    return pathlib.Path(urllib.parse.unquote(urllib.parse.urlparse(url).path)) if url.startswith("file:") else None


def probe() -> types.ModuleType:
    """kelvo_mcp._probe; the calling test module is skipped against a wheel."""
    import pytest
    try:
        return importlib.import_module("kelvo_mcp._probe")
    except ImportError:
        if installed_wheel() is None:
            raise  # every build from this tree has it
        pytest.skip("kelvo_mcp._probe is built into the developer build only (KELVO_TEST_PROBE=ON), "
                    "never into the wheel under test", allow_module_level=True)
