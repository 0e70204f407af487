"""Test set-up: the host stand-ins (tool catalogue, prompts, runtime errors,
in-memory engine) live in host/ and join the `kelvo_mcp` namespace beside
the compiled modules."""

import pathlib
import sys

HOST = pathlib.Path(__file__).resolve().parent.parent / "host"
if str(HOST) not in sys.path:
    sys.path.insert(0, str(HOST))

from hypothesis import HealthCheck, settings  # noqa: E402

# Timing varies with the machine and with instrumented builds (debug
# interpreter, sanitizers): no per-example deadline; speed lives in bench/.
settings.register_profile(
    "kelvo", deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.load_profile("kelvo")
