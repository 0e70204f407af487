"""Helpers for sessions with the server over streamable HTTP: a server run in
this process on a loopback port, processes of the server and of the engine
started and stopped, and the SDK's streamable-HTTP client."""

import contextlib
import os
import pathlib
import re
import subprocess
import sys
import threading

import anyio

# The longest a process may take to say where it listens.
START_SECONDS = 60


@contextlib.asynccontextmanager
async def serving(engine, *, token=None, profile="compact", config=None, engine_threads=8, host_options=None,
                  oauth=None, **options):
    """The multi-agent server on `engine`, in this process, on a free
    loopback port: yields its URL and its SessionHost. `token`: the text of
    a token file; `oauth(url, tokens)`: the ResourceServer to serve with;
    `host_options` go to the SessionHost, `options` to http_app."""
    import tempfile

    import uvicorn

    from kelvo_mcp.listen import bind_socket, security_settings
    from kelvo_mcp.server.http_host import http_app
    from kelvo_mcp.server.sessions import SessionHost
    from kelvo_mcp.server.tokens import TokenFile

    host = SessionHost(engine, profile, config=config, engine_threads=engine_threads, **(host_options or {}))
    tokens = None
    if token is not None:
        with tempfile.TemporaryDirectory() as tmp:
            (pathlib.Path(tmp) / "tokens").write_text(token)
            tokens = TokenFile(pathlib.Path(tmp) / "tokens")
    sock = bind_socket("127.0.0.1:0")
    port = sock.getsockname()[1]
    resource = oauth(f"http://127.0.0.1:{port}/mcp", tokens) if oauth is not None else None
    app = http_app(host, security=security_settings("127.0.0.1"), tokens=tokens, oauth=resource, **options)
    uv = uvicorn.Server(uvicorn.Config(app, log_level="error", lifespan="on", timeout_graceful_shutdown=1))
    async with anyio.create_task_group() as tg:
        tg.start_soon(uv.serve, [sock])
        with anyio.fail_after(START_SECONDS):
            while not uv.started:
                await anyio.sleep(0.01)
        try:
            yield f"http://127.0.0.1:{port}/mcp", host
        finally:
            uv.should_exit = True


@contextlib.asynccontextmanager
async def client(url, token=None, headers=None):
    """An MCP session over streamable HTTP with the SDK's client (the
    handshake era, so the server keeps a session)."""
    import httpx2
    from mcp import Client
    from mcp.client.streamable_http import streamable_http_client

    headers = dict(headers or {})
    if token is not None:
        headers["Authorization"] = f"Bearer {token}"
    async with httpx2.AsyncClient(headers=headers, timeout=httpx2.Timeout(30, read=120)) as http:
        async with Client(streamable_http_client(url, http_client=http), mode="legacy") as c:
            yield c


class Process:
    """A `python -m module` child: what it prints is kept, and the first
    http:// URL it prints is where it listens."""

    def __init__(self, module, *args):
        env = dict(os.environ, SKBUILD_EDITABLE_SKIP="1")
        self.args = [sys.executable, "-m", module, *map(str, args)]
        self.proc = subprocess.Popen(self.args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                     env=env)
        self.lines = []
        self._found = threading.Event()
        self.url = None
        threading.Thread(target=self._read, daemon=True).start()
        if not self._found.wait(START_SECONDS) or self.url is None:
            self.stop()
            raise AssertionError(f"{' '.join(self.args)} did not start:\n" + "".join(self.lines))

    def _read(self):
        for line in self.proc.stdout:
            self.lines.append(line)
            if self.url is None and (m := re.search(r"https?://[^\s/]+(/\S*)?", line)):
                self.url = m.group(0).rstrip(".,")
                self._found.set()
        self._found.set()

    @property
    def address(self):
        """HOST:PORT of the URL it printed."""
        return re.match(r"https?://([^/]+)", self.url).group(1)

    def kill(self):
        self.proc.kill()
        self.proc.wait(10)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.kill()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
