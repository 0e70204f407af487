"""Every module loads and the interpreter then exits cleanly. A module-level
C++ object that owns a Python reference is released by the C++ runtime after
the interpreter has finalized; the debug interpreter crashes on that."""

import subprocess
import sys

import pytest

from callables import MODULES, allow_missing, load


@pytest.mark.parametrize("module", MODULES + ("_probe",))
def test_interpreter_exits_cleanly_after_use(module):
    mod, err = load(module)
    if mod is None:
        if module == "_probe" or allow_missing():
            pytest.skip(f"kelvo_mcp.{module} does not import: {err}")
        pytest.fail(f"kelvo_mcp.{module} does not import: {err}")
    code = (f"import kelvo_mcp.{module} as m\n"
            "for name in dir(m):\n"
            "    getattr(m, name)\n")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stderr[-3000:]}"
