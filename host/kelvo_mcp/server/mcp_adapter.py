"""The MCP side: the surface as MCP tools, a reply as an MCP tool result, and
the SDK server of one connection (stdio) or of many agents (streamable HTTP),
which finds each request's scope and agent through the SDK's public API."""

from __future__ import annotations

import json
import weakref
from collections.abc import Awaitable, Callable, Mapping
from typing import Any

import anyio
import anyio.to_thread
import mcp_types as types
from mcp import MCPError
from mcp.server import Server
from mcp.server.auth.middleware.auth_context import get_access_token
from mcp.server.stdio import stdio_server
from mcp.server.streamable_http import MCP_SESSION_ID_HEADER
from mcp_types.version import MODERN_PROTOCOL_VERSIONS

from kelvo_mcp import surfaces
from kelvo_mcp.access_log import SCOPE_KEY as ACCESS_KEY
from kelvo_mcp.access_log import note
from kelvo_mcp.server.agent_ids import AGENT_EXTENSION, AGENT_ID_RE, agent_setting, checked_id
from kelvo_mcp.server.connection import Agent, Connection
from kelvo_mcp.server.pipeline import Reply, handle_call
from kelvo_mcp.server.sessions import LOCAL_PRINCIPAL, SessionHost

SERVER_NAME = "kelvo-mcp"
SERVER_VERSION = "0.1.0"


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


def principal() -> str:
    """Whom the request speaks for: the name its bearer token has in the token
    file, the issuer and subject of an OAuth access token, or the one local
    principal of a server that asks for no token."""
    token = get_access_token()
    return token.client_id if token is not None else LOCAL_PRINCIPAL


def read_only(write_scope: str | None) -> bool:
    """Whether the request's credential holds only reading rights: with
    OAuth on (`write_scope` given), a token without the write scope."""
    token = get_access_token()
    return write_scope is not None and token is not None and write_scope not in token.scopes


def agent_key(ctx: Any, sessions: bool, known: Callable[[str], bool] | None = None) -> tuple[str, str]:
    """What tells the requesting agent apart under its principal, from what
    the protocol gives publicly: the session header of a handshake-era
    request (when the server keeps sessions; bounded like an id, and one the
    server opened, `known`), else the id the client sends in the
    `com.kelvo/agent` extension of its capabilities (never identity: always
    read under the principal; an invalid one is refused), else nothing (the
    principal's anonymous agent of the scope)."""
    headers = getattr(ctx.request, "headers", None)
    session = headers.get(MCP_SESSION_ID_HEADER) if headers is not None else None
    if (sessions and session and ctx.protocol_version not in MODERN_PROTOCOL_VERSIONS
            and AGENT_ID_RE.fullmatch(session) and (known is None or known(session))):
        return "session", session
    ident = agent_setting(ctx.session.client_capabilities)
    return ("agent-id", ident) if ident is not None else ("anonymous", "")


def make_http_server(host: SessionHost, *, sessions: bool = True, write_scope: str | None = None,
                     known_session: Callable[[str], bool] | None = None) -> Server[Any]:
    """The MCP server of a multi-agent process. Every request is served on
    the scope of its rights and for its principal's agent (`agent_key`);
    `initialize` and `server/discover` answer with the scope's current
    instructions and handshake, a discover result private to the caller and
    stale at once. `sessions`: whether the SDK keeps sessions (not with
    --stateless); `write_scope`: the OAuth scope without which a token reads
    only; `known_session`: whether a session id is one of those it keeps."""
    schemas = {st.name: st.input_schema for st in surfaces.build_surface(host.profile, readonly=host.readonly)}
    tool_lists: weakref.WeakKeyDictionary[Connection, list[types.Tool]] = weakref.WeakKeyDictionary()

    async def scope_of(ctx: Any, *, new_agent: bool = False) -> tuple[Connection, Agent]:
        kind, ident = agent_key(ctx, sessions, known_session)  # an invalid id is refused before any engine work
        key, conn = await host.scope(read_only(write_scope), new_agent=new_agent)
        agent = host.agent(principal(), key, conn, kind, ident)
        if kind == "session":
            agent.checked = True  # a session is opened by an initialize, which was checked
        return conn, agent

    def tools_of(conn: Connection) -> list[types.Tool]:
        tools = tool_lists.get(conn)
        if tools is None:
            tools = tool_lists[conn] = mcp_tools(conn)
        return tools

    async def show_handshake(ctx: Any, call_next: Callable[[Any], Awaitable[Any]]) -> Any:
        if ctx.method != "initialize":
            return await call_next(ctx)
        caps = ctx.params.get("capabilities") if isinstance(ctx.params, Mapping) else None
        try:
            checked_id(caps.get("extensions") if isinstance(caps, Mapping) else None)
        except ValueError as e:
            raise MCPError(types.INVALID_PARAMS, str(e)) from None
        # A new agent: the scope brought up to the store first. The session's
        # agent record is known from its next request.
        _, conn = await host.scope(read_only(write_scope), new_agent=True)
        result = await call_next(ctx)
        if isinstance(result, dict):
            # Protocol versions before extensions list the agent extension as an experimental capability.
            caps = result.get("capabilities")
            if isinstance(caps, dict) and AGENT_EXTENSION not in (caps.get("extensions") or {}):
                caps = {**caps, "experimental": {**(caps.get("experimental") or {}), AGENT_EXTENSION: {}}}
            result = {**result, "capabilities": caps, "instructions": conn.server_instructions}
        return result

    async def discover(ctx: Any, params: types.RequestParams) -> types.DiscoverResult:
        conn, agent = await scope_of(ctx, new_agent=True)
        agent.shown, agent.checked = conn.version, True
        return types.DiscoverResult(supported_versions=list(MODERN_PROTOCOL_VERSIONS),
                                    capabilities=server.get_capabilities(protocol_version=ctx.protocol_version),
                                    instructions=conn.server_instructions, ttl_ms=0, cache_scope="private")

    async def list_tools(ctx: Any, params: types.PaginatedRequestParams | None) -> types.ListToolsResult:
        conn, _ = await scope_of(ctx)
        return types.ListToolsResult(tools=tools_of(conn))

    async def call_tool(ctx: Any, params: types.CallToolRequestParams) -> types.CallToolResult:
        conn, agent = await scope_of(ctx)
        await host.first_call(conn, agent)
        return call_result(await host.call(principal(), conn, agent, params.name, params.arguments or {}))

    # The schema of a called tool by name: without it the SDK lists every
    # tool to find one schema, on each call with arguments.
    server: Server[Any] = Server(SERVER_NAME, version=SERVER_VERSION, on_list_tools=list_tools,
                                 on_call_tool=call_tool, get_tool_input_schema=schemas.get)
    async def note_access(ctx: Any, call_next: Callable[[Any], Awaitable[Any]]) -> Any:
        # The access log's principal, agent and call: names only, never an argument.
        scope = getattr(ctx.request, "scope", None)
        if isinstance(scope, dict) and ACCESS_KEY in scope:
            try:
                kind, ident = agent_key(ctx, sessions, known_session)
            except MCPError:
                kind, ident = "invalid-id", ""  # refused by the handler
            name = ctx.params.get("name") if ctx.method == "tools/call" and isinstance(ctx.params, Mapping) else None
            note(scope, principal=principal(), agent=f"{kind}:{ident}" if ident else kind,
                 call=f"{ctx.method}:{name}" if isinstance(name, str) else str(ctx.method))
        return await call_next(ctx)

    server.add_request_handler("server/discover", types.RequestParams, discover)
    server.extensions[AGENT_EXTENSION] = {}  # listed in the capabilities of initialize and discover
    server.middleware.append(show_handshake)
    server.middleware.append(note_access)
    return server
