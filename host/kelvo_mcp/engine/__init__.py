"""The engine side of the reference host.

    api        the engine interface: calls, records, errors, time-outs (imports nothing of ours)
    embedded   the embedded engine, in memory or on a store
    store      the SQLite store several engines share
    canvas     canvas and state files, and filling an engine from one
    http_api   the engine served over HTTP (python -m kelvo_mcp.engine)
    client     HttpEngine, the host's client of that API
"""
