"""Helpers for sessions with the reference server through the MCP SDK's own client."""

import contextlib
import json


@contextlib.asynccontextmanager
async def session(engine, profile="compact", **kw):
    """An in-process MCP session on a fresh connection to `engine`."""
    from mcp import Client

    from kelvo_mcp.server.connection import open_connection
    from kelvo_mcp.server.mcp_adapter import make_server

    conn = open_connection(engine, profile, **kw)
    async with Client(make_server(conn), mode="legacy") as client:
        yield client, conn


def reply_of(result):
    """The reply map of a tool result, checked against its text form."""
    body = result.structured_content
    if not result.is_error:
        assert json.loads(result.content[0].text) == body
    return body
