"""Test set-up: the host stand-ins (tool catalogue, prompts, runtime errors,
in-memory engine) live in host/ and join the `kelvo_mcp` namespace beside
the compiled modules."""

import pathlib
import sys

HOST = pathlib.Path(__file__).resolve().parent.parent / "host"
if str(HOST) not in sys.path:
    sys.path.insert(0, str(HOST))
