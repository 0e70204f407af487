"""The engine's command line (python -m kelvo_mcp.engine): serve the embedded
engine over HTTP (`kelvo_mcp.engine.http_api`), or approve a doc on a store.

A loopback address needs nothing more; beyond loopback a bearer token is
required (`--token-file`). Approvals over HTTP take the admin token
(`--admin-token-file`) and nothing else; without one the user approves on
the machine that holds the store, with `--approve NAME`.
"""

from __future__ import annotations

import argparse
import logging
import sys
from collections.abc import Sequence
from pathlib import Path

import anyio

from kelvo_mcp.access_log import AccessLog, AccessLogged
from kelvo_mcp.engine.api import CanvasError
from kelvo_mcp.engine.canvas import SAMPLE_CANVAS, load_canvas, open_store_engine, seed_engine
from kelvo_mcp.engine.embedded import EmbeddedEngine
from kelvo_mcp.engine.http_api import API_PREFIX, BODY_MAX, EngineApp, Gate
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
    add("--store", type=Path, metavar="FILE",
        help="keep the canvas in this SQLite store, shared with other engines (default: in memory, gone at exit)")
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
        help="with --store: approve the doc NAME (the user's act, as in the Kelvo app), then exit")
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
    if ns.approve is not None and ns.store is None:
        parser.error("--approve changes a store: give --store FILE")
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
            what = f"store {ns.store}"
        else:
            if ns.state is not None:
                parser.error("--state is taken into a store: give --store too")
            engine = seed_engine(load_canvas(ns.canvas or SAMPLE_CANVAS))
            what = "an in-memory canvas"
    except CanvasError as e:
        parser.error(str(e))  # exits with status 2
    try:
        if ns.approve is not None:
            return _approve(parser, engine, ns.approve)
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


def _approve(parser: argparse.ArgumentParser, engine: EmbeddedEngine, name: str) -> int:
    page_id = engine.approve_doc(name)
    if page_id is None:
        parser.error(f"the store holds no doc named {name!r}")
    print(f"approved doc {name} (page {page_id})")
    return 0
