"""The engine side of the reference host.

    api        the engine interface: calls, records, errors, time-outs (imports nothing of ours)
    docs       which page is a doc, by the core's rule, for the engine's own look-ups
    embedded   the embedded engine, in memory or on a store
    approvals  the user's acts on it: approving a revision, revoking a name, the log
    memory     the canvas inside one engine call, and that canvas in memory
    statefile  the JSON state file: durable writes, one process at a time
    stores     the store interface both backends offer, and its errors
    backends   which backend a --store names: a SQLite file or a postgresql:// URL
    store      the SQLite store the engines of one host share
    schema     the store's file format: its schema steps and upgrades
    pgstore    the store on PostgreSQL, which engines on any number of machines share
    pgschema   its schema in the database: the same steps, kept in its meta table
    canvas     canvas and state files, and filling an engine from one
    http_api   the engine served over HTTP: the gate and the routes
    cli        python -m kelvo_mcp.engine: serve it, or approve, revoke or show the log of a doc on a store
    approval_cli  what --approve prints and asks, --revoke, --history
    client     HttpEngine, the host's client of that API
"""
