"""The reference MCP host: the six compiled modules serving real MCP sessions
on the official Python SDK, against the embedded engine or an engine over
HTTP (`python -m kelvo_mcp.server`, see `cli`).

Where each concern lives:

    connection    a connection: capabilities, surface, instructions, handshake, timer
    pipeline      one tool call: digest, resolution, handler, wording, respelling
    checks        arguments checked against the catalogue before a handler runs
    handlers/     one module per tool family, and the HANDLERS table
    sessions      many sessions in one process: the engine limiter, background rescans
    mcp_adapter   the surface as MCP tools, replies as results, the SDK servers
    http_host     the security gate and the ASGI application
    cli           the command line
"""
