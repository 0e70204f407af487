"""Sessions with the reference server through the MCP SDK's own client. The
test modules skip where the SDK is not installed (the debug interpreter has
no build of its dependencies), so nothing here imports it at load."""

import pytest


@pytest.fixture
def anyio_backend():
    return "asyncio"


@pytest.fixture
def engine():
    from kelvo_mcp.engine.canvas import SAMPLE_CANVAS, load_canvas, seed_engine

    return seed_engine(load_canvas(SAMPLE_CANVAS))


# The PostgreSQL server of the store's tests, and `store_where` over both backends.
from pg_server import pg_url, postgres, store_where  # noqa: E402, F401
