"""The reference MCP host: the six compiled modules serving real MCP sessions
on the official Python SDK, against the embedded engine or an engine over
HTTP (`python -m kelvo_mcp.server`, see `cli`).

Where each concern lives:

    connection    a scope's connection (surface, instructions, registry, handshake) and its agents
    pipeline      one tool call: the agent's digest, resolution, handler, wording, respelling
    checks        arguments checked against the catalogue before a handler runs
    handlers/     one module per tool family, and the HANDLERS table
    sessions      many agents in one process: scopes, agent records, the engine limiter, rescans
    bounded       the bounded maps scopes and agents live in
    tokens        bearer tokens from a file, a principal each, as the SDK's TokenVerifier
    oauth         the OAuth resource server: access-token verifier, metadata, 401 and 403 challenges
    issuer_keys   each authorization server's signing keys, fetched sparingly and kept
    agent_ids     the com.kelvo/agent id: its rule, and the refusal of an invalid one
    mcp_adapter   the surface as MCP tools, replies as results, the SDK servers
    http_host     the routes, the checks before them and the ASGI application
    cli           the command line
"""
