"""The command line of the reference MCP server.

    python -m kelvo_mcp.server                          # compact profile, the sample canvas, stdio
    python -m kelvo_mcp.server --profile full           # "full", "lean" or "compact"
    python -m kelvo_mcp.server --canvas my.json         # seed the engine from a canvas file
    python -m kelvo_mcp.server --state state.json       # keep the canvas between runs in a JSON file
    python -m kelvo_mcp.server --store canvas.db        # ... or in a SQLite store other servers share
    python -m kelvo_mcp.server --store postgresql://kelvo@db/kelvo   # ... or in PostgreSQL, across machines
    python -m kelvo_mcp.server --engine URL             # the engine served at URL (python -m kelvo_mcp.engine)
    python -m kelvo_mcp.server --readonly               # a key that may not write
    python -m kelvo_mcp.server --http 127.0.0.1:8765    # many sessions over streamable HTTP at /mcp
    python -m kelvo_mcp.server --http 0.0.0.0:8765 --token-file token   # beyond loopback: bearer tokens
    python -m kelvo_mcp.server --http 127.0.0.1:8765 --stateless         # no sessions: any process answers
    python -m kelvo_mcp.server --http 0.0.0.0:8765 --resource-url https://kelvo.example/mcp \
        --oauth-issuer https://login.example                              # OAuth access tokens of an issuer
    python -m kelvo_mcp.server --http 127.0.0.1:8765 --engine URL --registry-max-age 5   # an engine without
                                                        # the generation route: rescan for new agents past 5 s
    python -m kelvo_mcp.server --http 127.0.0.1:8765 --token-file tokens --principal-share 0.5 --access-log -
"""

from __future__ import annotations

import argparse
import logging
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import anyio

from kelvo_mcp import surfaces
from kelvo_mcp.engine.api import TIMEOUTS, CanvasError
from kelvo_mcp.engine.canvas import SAMPLE_CANVAS, load_canvas, open_state_engine, open_store_engine, seed_engine
from kelvo_mcp.engine.client import HttpEngine
from kelvo_mcp.access_log import AccessLog, summarise_refusals
from kelvo_mcp.listen import bind_socket, is_loopback, read_token, security_settings, serve_http, session_stream
from kelvo_mcp.server.connection import open_connection
from kelvo_mcp.server.http_host import (DEFAULT_MAX_REQUEST_BODY_SIZE, DEFAULT_MAX_SESSIONS,
                                        DEFAULT_SESSION_IDLE_TIMEOUT, http_app)
from kelvo_mcp.server.mcp_adapter import make_server, serve_stdio
from kelvo_mcp.server.oauth import READ_SCOPE, WRITE_SCOPE, OAuthSettings, ResourceServer, parse_jwks_options
from kelvo_mcp.server.sessions import ENGINE_THREADS, MAX_AGENTS, REGISTRY_MAX_AGE, SessionHost
from kelvo_mcp.server.shares import SHARED_DEFAULT, default_share, share_of
from kelvo_mcp.server.tokens import TokenFile

SHUTDOWN_SECONDS = 10.0


def open_engine(canvas: Path | None, state: Path | None, store: str | None = None,
                engine_url: str | None = None, read_timeout: float | None = None,
                engine_token: str | None = None) -> Any:
    """The engine the server runs on:

    - `engine_url`: an engine served over HTTP (`python -m kelvo_mcp.engine`),
      reached with `HttpEngine` sending `engine_token`; `read_timeout`
      replaces the read phase's budget;
    - `store`: the embedded engine on that store (a SQLite file or a
      `postgresql://` URL), which other servers may share; a new store is filled once from `state` when that file
      exists, else from `canvas`;
    - otherwise the embedded engine in memory, from the state file when it
      exists, else seeded from the canvas file; with a state file, every
      write is kept in it.
    """
    if engine_url is not None:
        timeouts = dict(TIMEOUTS, **({"read": read_timeout} if read_timeout is not None else {}))
        return HttpEngine(engine_url, timeouts=timeouts, token=engine_token)
    if store is not None:
        return open_store_engine(store, canvas=canvas, state=state)
    if state is not None:
        return open_state_engine(state, canvas)
    return seed_engine(load_canvas(canvas or SAMPLE_CANVAS))



def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m kelvo_mcp.server",
                                     description="Serve the Kelvo MCP tools over stdio (one session) or over "
                                                 "streamable HTTP (many sessions).")
    parser.add_argument("--profile", choices=surfaces.PROFILES, default="compact",
                        help="the tool surface to offer (default: compact)")
    parser.add_argument("--canvas", type=Path, metavar="FILE",
                        help="a JSON file describing the docs canvas to seed (default: the built-in sample)")
    parser.add_argument("--state", type=Path, metavar="FILE",
                        help="keep the canvas in this JSON file between runs (missing: start from the canvas file)")
    parser.add_argument("--store", metavar="FILE|URL",
                        help="keep the canvas in this store, which other servers may share: a SQLite file (servers "
                             "on this host) or a postgresql:// URL (servers on any machine); a new store is filled "
                             "once from the --state file when it exists, else from the canvas file")
    parser.add_argument("--engine", metavar="URL",
                        help="use the engine served over HTTP at URL (python -m kelvo_mcp.engine) "
                             "instead of an embedded one")
    parser.add_argument("--engine-read-timeout", type=float, metavar="SECONDS",
                        help=f"with --engine: how long to wait for a reply (default {TIMEOUTS['read']:g})")
    parser.add_argument("--engine-token-file", type=Path, metavar="FILE",
                        help="with --engine: the engine's bearer token (its --token-file)")
    parser.add_argument("--readonly", action="store_true", help="offer no tool that writes")
    parser.add_argument("--http", metavar="HOST:PORT",
                        help="serve MCP over streamable HTTP at http://HOST:PORT/mcp, many sessions at once "
                             "(PORT alone: on 127.0.0.1; port 0: any free port); without it, one session over stdio")
    parser.add_argument("--token-file", type=Path, metavar="FILE",
                        help="with --http: require 'Authorization: Bearer TOKEN' with a token of FILE, one a line as "
                             "name:token, the name being the principal; SIGHUP reads it again "
                             "(required when HOST is not a loopback address)")
    oauth = parser.add_argument_group("OAuth", "with --http: accept the access tokens of authorization servers")
    oauth.add_argument("--resource-url", metavar="URL",
                       help="this server's URL as clients reach it, e.g. https://kelvo.example/mcp: the resource "
                            "its tokens are issued for; its host is accepted in the Host header")
    oauth.add_argument("--oauth-issuer", action="append", default=[], metavar="URL",
                       help="an authorization server whose access tokens (JWT) are accepted, its exact issuer "
                            "string; repeatable")
    oauth.add_argument("--oauth-jwks", action="append", default=[], metavar="ISSUER=URL|FILE",
                       help="the issuer's key set at URL or in FILE (default: found through its metadata); "
                            "repeatable")
    oauth.add_argument("--oauth-audience", metavar="VALUE",
                       help="the 'aud' a token must hold (default: the resource URL)")
    oauth.add_argument("--oauth-read-scope", default=READ_SCOPE, metavar="SCOPE",
                       help=f"the scope that lets a token read (default {READ_SCOPE})")
    oauth.add_argument("--oauth-write-scope", default=WRITE_SCOPE, metavar="SCOPE",
                       help=f"the scope that lets a token write too (default {WRITE_SCOPE})")
    parser.add_argument("--allow-host", action="append", default=[], metavar="NAME",
                        help="with --http: a further Host header name to accept (any port); repeatable")
    parser.add_argument("--allow-origin", action="append", default=[], metavar="ORIGIN",
                        help="with --http: a further Origin to accept, e.g. https://app.example; repeatable")
    parser.add_argument("--engine-threads", type=int, default=ENGINE_THREADS, metavar="N",
                        help=f"with --http: engine calls in flight at once (default: {ENGINE_THREADS})")
    parser.add_argument("--stateless", action="store_true",
                        help="with --http: keep no sessions, in either era, so that any server process on the same "
                             "store or engine can answer any request")
    parser.add_argument("--max-sessions", type=int, metavar="N",
                        help=f"with --http: handshake-era sessions open at once (default {DEFAULT_MAX_SESSIONS}); "
                             "a request that would open one more gets 503")
    parser.add_argument("--session-idle-timeout", type=float, metavar="SECONDS", help="with --http: close a session idle this long "
                                                f"(default {DEFAULT_SESSION_IDLE_TIMEOUT:g})")
    parser.add_argument("--max-agents", type=int, default=MAX_AGENTS, metavar="N",
                        help=f"with --http: agent records kept at once (default {MAX_AGENTS}); past it the least "
                             "recently used goes")
    parser.add_argument("--principal-share", type=float, metavar="FRACTION",
                        help="with --http: the part of --max-sessions, --max-agents and --engine-threads one "
                             "principal may hold (default 1 when the token file names at most one principal, "
                             f"{SHARED_DEFAULT:g} otherwise)")
    parser.add_argument("--access-log", metavar="FILE|-",
                        help="with --http: one line per request in FILE (-: standard error): time, request id, "
                             "principal, agent, method or tool, status, duration (default: no access log)")
    parser.add_argument("--max-body-bytes", type=int, default=DEFAULT_MAX_REQUEST_BODY_SIZE, metavar="N",
                        help=f"with --http: the largest request body (default {DEFAULT_MAX_REQUEST_BODY_SIZE}); "
                             "a larger one gets 413")
    parser.add_argument("--registry-max-age", type=float, default=None, metavar="SECONDS",
                        help="with --http and an engine that cannot say whether its store changed: how old the "
                             "registry a new agent is shown may be before it is scanned again "
                             f"(default {REGISTRY_MAX_AGE:g})")
    parser.add_argument("--shutdown-seconds", type=float, default=SHUTDOWN_SECONDS, metavar="SECONDS",
                        help="with --http: how long requests under way may take to finish once the server is "
                             f"told to stop (default {SHUTDOWN_SECONDS:g})")
    ns = parser.parse_args(argv)
    if ns.stateless and (ns.max_sessions is not None or ns.session_idle_timeout is not None):
        parser.error("--max-sessions and --session-idle-timeout limit sessions, which --stateless does not keep")
    ns.max_sessions = DEFAULT_MAX_SESSIONS if ns.max_sessions is None else ns.max_sessions
    ns.session_idle_timeout = (DEFAULT_SESSION_IDLE_TIMEOUT if ns.session_idle_timeout is None
                               else ns.session_idle_timeout)
    if ns.max_sessions < 1 or ns.max_body_bytes < 1 or not ns.session_idle_timeout > 0 \
            or not ns.shutdown_seconds >= 0:
        parser.error("--max-sessions, --max-body-bytes and --session-idle-timeout want numbers above 0, "
                     "--shutdown-seconds one of at least 0")
    if ns.http is None and (ns.token_file or ns.allow_host or ns.allow_origin or ns.stateless
                            or ns.principal_share is not None or ns.access_log):
        parser.error("--token-file, --allow-host, --allow-origin, --stateless, --principal-share and --access-log "
                     "go with --http")
    if ns.principal_share is not None and not 0 < ns.principal_share <= 1:
        parser.error("--principal-share wants a fraction above 0 and at most 1")
    if ns.max_agents < 1:
        parser.error("--max-agents must be at least 1")
    if ns.registry_max_age is not None and (ns.http is None or not ns.registry_max_age >= 0):
        parser.error("--registry-max-age goes with --http and wants a number of seconds of at least 0")
    if ns.engine_threads < 1:
        parser.error("--engine-threads must be at least 1")
    try:
        ns.oauth = oauth_settings(ns)
    except ValueError as e:
        parser.error(str(e))
    if ns.http is not None and ns.token_file is None and ns.oauth is None \
            and not is_loopback(ns.http.rpartition(":")[0] or "127.0.0.1"):
        parser.error(f"--http {ns.http} listens beyond loopback: give --token-file FILE or --oauth-issuer URL")
    if ns.engine is not None and (ns.store or ns.state or ns.canvas):
        parser.error("--engine uses the engine's own canvas: --store, --state and --canvas go without it")
    if ns.engine_read_timeout is not None and (ns.engine is None or not ns.engine_read_timeout > 0):
        parser.error("--engine-read-timeout wants --engine and a number of seconds above 0")
    if ns.engine_token_file is not None and ns.engine is None:
        parser.error("--engine-token-file goes with --engine")
    try:
        engine_token = read_token(ns.engine_token_file) if ns.engine_token_file else None
        engine = open_engine(ns.canvas, ns.state, ns.store, ns.engine, ns.engine_read_timeout, engine_token)
    except (CanvasError, ValueError) as e:
        parser.error(str(e))  # exits with status 2
    logging.basicConfig(stream=sys.stderr, level=logging.WARNING)
    try:
        serve(parser, ns, engine)
    finally:
        if hasattr(engine, "close"):
            engine.close()
    return 0


def oauth_settings(ns: argparse.Namespace) -> OAuthSettings | None:
    """The OAuth options as settings (checked), None when none is given."""
    given = ns.resource_url is not None or ns.oauth_issuer or ns.oauth_jwks or ns.oauth_audience is not None \
        or ns.oauth_read_scope != READ_SCOPE or ns.oauth_write_scope != WRITE_SCOPE
    if not given:
        return None
    if ns.http is None:
        raise ValueError("--resource-url and the --oauth options go with --http")
    if ns.resource_url is None:
        raise ValueError("--oauth-issuer needs --resource-url, the URL clients reach this server at")
    if not ns.oauth_issuer:
        raise ValueError("--resource-url and the --oauth options need --oauth-issuer, an authorization server")
    jwks = parse_jwks_options(ns.oauth_jwks, ns.oauth_issuer)
    settings = OAuthSettings(ns.resource_url, tuple(ns.oauth_issuer), jwks, ns.oauth_audience, ns.oauth_read_scope,
                             ns.oauth_write_scope)
    settings.check()
    return settings


def serve(parser: argparse.ArgumentParser, ns: argparse.Namespace, engine: Any) -> None:
    if ns.http is None:
        conn = open_connection(engine, ns.profile, readonly=ns.readonly)
        anyio.run(serve_stdio, make_server(conn))
        return
    try:
        tokens = TokenFile(ns.token_file) if ns.token_file else None
        resource = ResourceServer(ns.oauth, tokens) if ns.oauth is not None else None
        sock = bind_socket(ns.http)
    except ValueError as e:
        parser.error(str(e))
    bound = sock.getsockname()[0]
    # With OAuth any number of principals may come: shares as for many.
    principals = len({name for name, _ in tokens.tokens}) if tokens is not None else 1
    share = ns.principal_share if ns.principal_share is not None else default_share(
        principals + (2 if resource is not None else 0))
    try:
        log = AccessLog(ns.access_log) if ns.access_log else None
    except ValueError as e:
        sock.close()
        parser.error(str(e))
    print(shares_line(ns, share), file=sys.stderr, flush=True)
    summarise_refusals()
    host = SessionHost(engine, ns.profile, readonly=ns.readonly, engine_threads=ns.engine_threads,
                       registry_max_age=REGISTRY_MAX_AGE if ns.registry_max_age is None else ns.registry_max_age,
                       max_agents=ns.max_agents, principal_share=share)
    allow_hosts = [*ns.allow_host, *([resource.host] if resource is not None else [])]
    security = security_settings(bound, allow_hosts, ns.allow_origin)
    app = http_app(host, security=security, tokens=tokens, stateless=ns.stateless, max_sessions=ns.max_sessions,
                   session_idle_timeout=ns.session_idle_timeout, max_body_bytes=ns.max_body_bytes,
                   reload_on_hup=True, oauth=resource, access_log=log)
    # Requests in flight are bounded by the sessions a server keeps; a
    # session's long-lived stream is bounded by the sessions themselves.
    try:
        serve_http(app, sock, shutdown_seconds=ns.shutdown_seconds, max_connections=ns.max_sessions,
                   uncounted=session_stream)
    finally:
        if log is not None:
            log.close()


def shares_line(ns: argparse.Namespace, share: float) -> str:
    """What one principal may hold, said once at start."""
    sessions = ("no sessions (--stateless)" if ns.stateless
                else f"{share_of(ns.max_sessions, share)} of {ns.max_sessions} sessions")
    return (f"kelvo-mcp: each principal may hold {sessions}, {share_of(ns.max_agents, share)} of {ns.max_agents} "
            f"agent records and {share_of(ns.engine_threads, share)} of {ns.engine_threads} engine slots "
            f"(--principal-share {share:g})")


