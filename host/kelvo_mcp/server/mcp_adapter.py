"""The MCP side: the surface as MCP tools, a reply as an MCP tool result, and
the SDK server of one connection (stdio) or of many sessions (streamable HTTP)."""

from __future__ import annotations

import json
from collections.abc import Awaitable, Callable
from typing import Any

import anyio
import anyio.to_thread
import mcp_types as types
from mcp.server import Server
from mcp.server.stdio import stdio_server

from kelvo_mcp.server.connection import Connection
from kelvo_mcp.server.pipeline import Reply, handle_call
from kelvo_mcp.server.sessions import SessionHost

SERVER_NAME = "kelvo-mcp"
SERVER_VERSION = "0.1.0"
_STATE_KEY = "kelvo.connection"
_TOOLS_KEY = "kelvo.tools"


def mcp_tools(conn: Connection) -> list[types.Tool]:
    """One MCP tool per surface tool, in surface order, exactly as built."""
    return [types.Tool(name=st.name, title=st.title, description=st.description, input_schema=st.input_schema,
                       annotations=types.ToolAnnotations.model_validate(st.annotations))
            for st in conn.surface]


def call_result(reply: Reply) -> types.CallToolResult:
    """A reply as an MCP tool result: the reply map as structured content and
    as JSON text; a failure's text is its sentence alone, with whatever else
    the reply carries (the digest, notes) in a second text block."""
    content: list[types.ContentBlock]
    if reply.error is None:
        content = [types.TextContent(text=json.dumps(reply.body, ensure_ascii=False))]
    else:
        content = [types.TextContent(text=reply.error)]
        rest = {k: v for k, v in reply.body.items() if k != "error"}
        if rest:
            content.append(types.TextContent(text=json.dumps(rest, ensure_ascii=False)))
    return types.CallToolResult(content=content, structured_content=reply.body, is_error=reply.error is not None)


def make_server(conn: Connection) -> Server[Any]:
    """The MCP server of one connection."""
    tools = mcp_tools(conn)

    async def list_tools(ctx: Any, params: types.PaginatedRequestParams | None) -> types.ListToolsResult:
        return types.ListToolsResult(tools=tools)

    async def call_tool(ctx: Any, params: types.CallToolRequestParams) -> types.CallToolResult:
        # The engine client blocks; handlers run on worker threads, one call each.
        reply = await anyio.to_thread.run_sync(handle_call, conn, params.name, params.arguments or {})
        return call_result(reply)

    return Server(SERVER_NAME, version=SERVER_VERSION, instructions=conn.server_instructions,
                  on_list_tools=list_tools, on_call_tool=call_tool)



async def serve_stdio(server: Server[Any]) -> None:
    async with stdio_server() as (read, write):
        await server.run(read, write, server.create_initialization_options())


def _session_state(ctx: Any) -> dict[str, Any] | None:
    """The SDK's per-connection scratch map of the session a request came on.
    The request context reaches the connection only through its session,
    which keeps it private."""
    connection = getattr(ctx.session, "_connection", None)
    state = getattr(connection, "state", None)
    return state if isinstance(state, dict) else None


def make_http_server(host: SessionHost) -> Server[Any]:
    """The MCP server of a multi-session process: every session's initialize
    opens its own connection (the initialize result carries that connection's
    instructions and handshake); its tool calls run on it. Requests without a
    session (the protocol's single-exchange era: `server/discover`, then
    calls) share one connection."""

    async def session_of(ctx: Any) -> tuple[Connection, list[types.Tool]]:
        state = _session_state(ctx)
        if state is not None and _STATE_KEY in state:
            return state[_STATE_KEY], state[_TOOLS_KEY]
        conn = await host.shared()
        return conn, mcp_tools(conn)

    async def open_session(ctx: Any, call_next: Callable[[Any], Awaitable[Any]]) -> Any:
        if ctx.method == "initialize":
            conn = await host.open()
            state = _session_state(ctx)
            if state is not None:
                state[_STATE_KEY], state[_TOOLS_KEY] = conn, mcp_tools(conn)
        elif ctx.method == "server/discover":  # the single-exchange era's handshake
            conn = await host.shared()
        else:
            return await call_next(ctx)
        result = await call_next(ctx)
        if isinstance(result, dict):
            result = {**result, "instructions": conn.server_instructions}
        return result

    async def list_tools(ctx: Any, params: types.PaginatedRequestParams | None) -> types.ListToolsResult:
        _, tools = await session_of(ctx)
        return types.ListToolsResult(tools=tools)

    async def call_tool(ctx: Any, params: types.CallToolRequestParams) -> types.CallToolResult:
        conn, _ = await session_of(ctx)
        return call_result(await host.call(conn, params.name, params.arguments or {}))

    server: Server[Any] = Server(SERVER_NAME, version=SERVER_VERSION, on_list_tools=list_tools,
                                 on_call_tool=call_tool)
    server.middleware.append(open_session)
    return server


