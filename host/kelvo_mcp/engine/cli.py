"""The engine's command line (python -m kelvo_mcp.engine): serve the embedded
engine over HTTP (`kelvo_mcp.engine.http_api`), or approve or revoke a doc on
a store, or show its approval log (`kelvo_mcp.engine.approval_cli`).

A loopback address needs nothing more; beyond loopback a bearer token is
required (`--token-file`). Approvals over HTTP take the admin token
(`--admin-token-file`) and nothing else; without one the user approves on
the machine that holds the store, with `--approve NAME` (and `--expect
REVISION` away from a terminal).
"""

from __future__ import annotations

import argparse
import logging
import sys
from collections.abc import Sequence
from pathlib import Path

import anyio

from kelvo_mcp.access_log import AccessLog, AccessLogged
from kelvo_mcp.engine import approval_cli
from kelvo_mcp.engine.api import CanvasError
from kelvo_mcp.engine.canvas import SAMPLE_CANVAS, load_canvas, open_store_engine, seed_engine
from kelvo_mcp.engine.embedded import EmbeddedEngine
from kelvo_mcp.engine.http_api import API_PREFIX, BODY_MAX, EngineApp, Gate
from kelvo_mcp.engine.stores import shown
from kelvo_mcp.listen import BODY_TIMEOUT, HEADER_TIMEOUT, allowed_headers, bind_socket, is_loopback, read_token, \
    uvicorn_server

MAX_CONNECTIONS = 256


def _address(text: str) -> tuple[str, int]:
    host, sep, port = text.rpartition(":")
    if not sep or not port.isdigit() or int(port) > 65535:
        raise argparse.ArgumentTypeError(f"{text!r} is not HOST:PORT")
    return host.strip("[]") or "127.0.0.1", int(port)


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = 0.0
    if not value > 0:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of seconds above 0")
    return value


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python -m kelvo_mcp.engine",
                                     description="Serve the embedded Kelvo engine over HTTP.")
    add = parser.add_argument
    add("--store", metavar="FILE|URL",
        help="keep the canvas in this store, shared with other engines: a SQLite file (engines on this host) or a "
             "postgresql:// URL (engines on any machine; the password from PGPASSFILE or the PG* variables) "
             "(default: in memory, gone at exit)")
    add("--listen", type=_address, default=("127.0.0.1", 0), metavar="HOST:PORT",
        help="where to listen (default 127.0.0.1:0, a free port)")
    add("--token-file", type=Path, metavar="FILE",
        help="require 'Authorization: Bearer <the token in FILE>' on every request "
             "(required when HOST is not a loopback address)")
    add("--admin-token-file", type=Path, metavar="FILE",
        help="take approvals over HTTP with this token alone (default: no approvals over HTTP)")
    add("--allow-host", action="append", default=[], metavar="NAME",
        help="a further Host header name to accept (any port); repeatable")
    add("--allow-origin", action="append", default=[], metavar="ORIGIN",
        help="a further Origin to accept, e.g. https://app.example; repeatable")
    add("--max-connections", type=int, default=MAX_CONNECTIONS, metavar="N",
        help="connections served at once, each counted from its first request's headers on; beyond them "
             f"requests get 503 (default {MAX_CONNECTIONS})")
    add("--header-timeout", type=_seconds, default=HEADER_TIMEOUT, metavar="SECONDS",
        help=f"time from connecting to the end of the request headers (default {HEADER_TIMEOUT:g})")
    add("--body-timeout", type=_seconds, default=BODY_TIMEOUT, metavar="SECONDS",
        help=f"time from the headers to the end of the body (default {BODY_TIMEOUT:g})")
    add("--latency-ms", type=float, default=0.0, metavar="N", help="spend N ms before serving each request")
    add("--canvas", type=Path, metavar="FILE",
        help="the canvas file that fills a new store or the in-memory canvas (default: the built-in sample)")
    add("--state", type=Path, metavar="FILE",
        help="a JSON state file of the reference server, taken into a new store once")
    add("--approve", metavar="NAME",
        help="with --store: print the doc NAME in force, then approve that revision (the user's act, as in the "
             "Kelvo app) once confirmed at a terminal, or as --expect names it; then exit")
    add("--expect", metavar="REVISION",
        help="with --approve: approve only if the doc in force is at REVISION (else exit 2, nothing written)")
    add("--revoke", metavar="NAME", help="with --store: set every page of the doc NAME to not approved, then exit")
    add("--history", metavar="NAME", help="with --store: print the approval log of the doc NAME, then exit")
    add("--access-log", metavar="FILE|-",
        help="one line per request in FILE (-: standard error): time, request id, token role, route, status, "
             "duration (default: no access log)")
    add("-v", "--verbose", action="store_true", help="log every request on stderr")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    ns = parser.parse_args(argv)
    logging.basicConfig(stream=sys.stderr, level=logging.DEBUG if ns.verbose else logging.WARNING)
    host, port = ns.listen
    if ns.token_file is None and not is_loopback(host):
        parser.error(f"--listen {host}:{port} is beyond loopback: give --token-file FILE")
    if ns.max_connections < 1:
        parser.error("--max-connections must be at least 1")
    if ns.approve is not None and ns.revoke is not None:
        parser.error("--approve and --revoke go one at a time")
    if ns.expect is not None and ns.approve is None:
        parser.error("--expect names the revision --approve approves: give --approve NAME")
    acts = [f"--{a}" for a in ("approve", "revoke", "history") if getattr(ns, a) is not None]
    if acts and ns.store is None:
        parser.error(f"{acts[0]} {'reads' if acts[0] == '--history' else 'changes'} a store: give --store FILE")
    try:
        token = read_token(ns.token_file) if ns.token_file else None
        admin = read_token(ns.admin_token_file) if ns.admin_token_file else None
    except ValueError as e:
        parser.error(str(e))
    if admin is not None and admin == token:
        parser.error("--admin-token-file must hold a token of its own, not the agents' --token-file token")
    try:
        if ns.store is not None:
            engine = open_store_engine(ns.store, canvas=ns.canvas, state=ns.state)
            what = f"store {shown(ns.store)}"
        else:
            if ns.state is not None:
                parser.error("--state is taken into a store: give --store too")
            engine = seed_engine(load_canvas(ns.canvas or SAMPLE_CANVAS))
            what = "an in-memory canvas"
    except CanvasError as e:
        parser.error(str(e))  # exits with status 2
    try:
        if acts:
            return _act(engine, ns)
        try:
            sock = bind_socket(f"[{host}]:{port}" if ":" in host else f"{host}:{port}")
        except ValueError as e:
            parser.error(str(e))
        hosts, origins = allowed_headers(sock.getsockname()[0], ns.allow_host, ns.allow_origin)
        app = EngineApp(engine, Gate(hosts, origins, token, admin, BODY_MAX), max(ns.latency_ms, 0.0) / 1000)
        try:
            log = AccessLog(ns.access_log) if ns.access_log else None
        except ValueError as e:
            parser.error(str(e))

        def announce(shown: str, bound: int) -> None:
            print(f"kelvo engine serving {what} at http://{shown}:{bound}{API_PREFIX}", flush=True)

        # SIGTERM stops the server like ^C: requests in flight get two seconds,
        # and a write that was not acknowledged may or may not have been committed.
        server = uvicorn_server(app if log is None else AccessLogged(app, log), header_timeout=ns.header_timeout,
                                body_timeout=ns.body_timeout, max_connections=ns.max_connections, lifespan="off",
                                announce=announce)
        try:
            anyio.run(server.serve, [sock])
        finally:
            if log is not None:
                log.close()
    finally:
        engine.close()
    return 0


def _act(engine: EmbeddedEngine, ns: argparse.Namespace) -> int:
    """--approve, --revoke or --history on the store; a refusal is one line and exit status 2."""
    try:
        if ns.approve is not None:
            line = approval_cli.approve(engine, ns.approve, ns.expect)
        elif ns.revoke is not None:
            line = approval_cli.revoke(engine, ns.revoke)
        else:
            line = approval_cli.history(engine, ns.history)
    except approval_cli.Refused as e:
        print(f"{approval_cli.PROG}: error: {e}", file=sys.stderr)
        return 2
    print(line)
    return 0
