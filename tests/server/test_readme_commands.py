"""Every `python -m kelvo_mcp.server` and `python -m kelvo_mcp.engine`
command line the README shows, run as written: its paths rewritten to
temporary files, its address to 127.0.0.1 and port 0, started as a process,
one call made through it (the MCP SDK's client for the server, HTTP for the
engine), then stopped. A README line without an entry in COMMANDS fails
`test_every_command_line_in_the_readme_has_a_test`."""

import contextlib
import json
import os
import pathlib
import pty
import re
import shlex
import subprocess
import sys

import httpx
import pytest

pytest.importorskip("mcp")

from mcp import Client, StdioServerParameters  # noqa: E402

from kelvo_mcp import refresh, surfaces  # noqa: E402
from kelvo_mcp.engine.canvas import SAMPLE_CANVAS, open_store_engine  # noqa: E402
from kelvo_mcp.engine.client import HttpEngine  # noqa: E402
from kelvo_mcp.engine.docs import first_doc  # noqa: E402

from engine_proc import HOST, run_engine_cli  # noqa: E402
from http_host import Process, client  # noqa: E402
from oauth_issuer import Issuer  # noqa: E402
from server_session import reply_of  # noqa: E402

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
AGENT_TOKEN = "agent-token-7f3a"
ENGINE_TOKEN = "engine-token-91c2"
FAST = {"connect": 5.0, "read": 20.0, "write": 5.0, "pool": 5.0}

# The README's paths, and what each stands for here.
PATHS = {
    "my.json": "canvas", "kelvo.json": "state",
    "kelvo.db": "store", "/path/to/kelvo.db": "store", "/var/lib/kelvo/kelvo.db": "store",
    "/etc/kelvo/tokens": "tokens", "/etc/kelvo/engine-token": "engine-token",
    # A PostgreSQL store: a database of the test's own (its password in PGPASSFILE, as the README sets it).
    "postgresql://kelvo@db.internal.example/kelvo": "database", "$url": "database",
}


def readme_commands():
    """The command lines, continuation lines joined, the comment and the
    venv's path dropped: "-m kelvo_mcp.server --profile full"; and the
    arguments of each client configuration that starts the server."""
    text = README.read_text(encoding="utf-8")
    lines = text.splitlines()
    found = []
    i = 0
    while i < len(lines):
        line = lines[i].strip()
        while line.endswith("\\") and i + 1 < len(lines):
            i += 1
            line = line[:-1] + " " + lines[i].strip()
        i += 1
        if re.match(r"(\S*/)?python3? -m kelvo_mcp\.(server|engine)\b", line):
            words = shlex.split(line, comments=True)
            found.append(" ".join(words[1:]))
    for block in re.findall(r"```json\n(.*?)```", text, flags=re.S):
        for server in json.loads(block).get("mcpServers", {}).values():
            if server.get("args", [])[:2] == ["-m", "kelvo_mcp.server"]:
                found.append(" ".join(server["args"]))
    return found


@pytest.fixture
def files(tmp_path):
    """The temporary files the README's paths are rewritten to."""
    canvas = json.loads(SAMPLE_CANVAS.read_text(encoding="utf-8"))
    canvas["pages"].append({"title": "Only in my canvas", "body": "Seeded from my.json."})
    made = {"canvas": tmp_path / "my.json", "state": tmp_path / "kelvo.json", "store": tmp_path / "kelvo.db",
            "tokens": tmp_path / "tokens", "engine-token": tmp_path / "engine-token"}
    made["canvas"].write_text(json.dumps(canvas), encoding="utf-8")
    made["tokens"].write_text(f"ci-agents:{AGENT_TOKEN}\n", encoding="utf-8")
    made["engine-token"].write_text(ENGINE_TOKEN + "\n", encoding="utf-8")
    return made


def store_of(args, files):
    """Where the command's --store is: a file of `files`, or the database's URL."""
    return args[args.index("--store") + 1] if "--store" in args else files["store"]


def argv(command, files, engine_url=None):
    """`command` as arguments to run here: paths to `files`, every address
    to 127.0.0.1:0, the engine's URL to `engine_url`."""
    words = shlex.split(command)
    out = []
    for prev, word in zip([None, *words], words):
        if word in PATHS:
            word = str(files[PATHS[word]])
        elif prev in ("--http", "--listen"):
            word = "127.0.0.1:0"
        elif prev == "--engine":
            assert engine_url is not None, command
            word = engine_url
        out.append(word)
    return out


def flags(command):
    return {w for w in shlex.split(command) if w.startswith("--")}


def stdio(args):
    env = dict(os.environ, SKBUILD_EDITABLE_SKIP="1")
    return Client(StdioServerParameters(command=sys.executable, args=args, env=env), mode="legacy")


# -- one runner per kind of command line ---------------------------------------


async def run_stdio(command, files):
    args = argv(command, files)
    async with stdio(args) as mcp:
        names = [t.name for t in (await mcp.list_tools()).tools]
        profile = args[args.index("--profile") + 1] if "--profile" in args else "compact"
        readonly = "--readonly" in args
        assert names == [t.name for t in surfaces.build_surface(profile, readonly=readonly)]
        if "--canvas" in args:
            listed = reply_of(await mcp.call_tool("kelvo_page_read", {"op": "list", "limit": 50}))
            assert "Only in my canvas" in [p["title"] for p in listed["pages"]]
        elif readonly:
            refused = await mcp.call_tool("kelvo_doc_save", {"name": "x", "body": "y"})
            assert refused.content[0].text == "kelvo_doc_save is not offered on this connection: the key is read-only."
        else:
            saved = reply_of(await mcp.call_tool("kelvo_doc_save", {"name": "from-readme", "body": "Kept."}))
            assert saved["saved"] is True
    if "--state" in args:
        kept = json.loads(files["state"].read_text(encoding="utf-8"))
        markers = [refresh.parse_sentinel(p["blocks"][0]["text"]) for p in kept["pages"] if p["blocks"]]
        assert "from-readme" in [m["name"] for m in markers if m]
    if "--store" in args:
        engine = open_store_engine(store_of(args, files), canvas=None, state=None)
        try:
            assert first_doc(engine.pages, name="from-readme") is not None
        finally:
            engine.close()


async def run_http_server(command, files, engine_url=None):
    args = argv(command, files, engine_url)
    token = AGENT_TOKEN if "--token-file" in args else None
    with Process(*args[1:]) as proc:
        headers = {}
        if "--allow-host" in args:
            allowed = args[args.index("--allow-host") + 1]
            headers["Host"] = f"{allowed}:{proc.address.rpartition(':')[2]}"
        if token is not None:
            # Beyond loopback the token is required: none, and nothing is served.
            with httpx.Client(timeout=10) as http:
                assert http.post(proc.url, json={}).status_code == 401
        async with client(proc.url, token=token, headers=headers) as mcp:
            status = reply_of(await mcp.call_tool("kelvo_status", {}))
            assert status["profile"] == "compact" and not status.get("error"), status
            if engine_url is not None:
                saved = reply_of(await mcp.call_tool("kelvo_doc_save", {"name": "via-engine", "body": "Sent on."}))
                assert saved["saved"] is True
    return status


def start_engine(command, files):
    proc = Process(*argv(command, files)[1:])
    assert proc.url.endswith("/v1"), proc.lines
    return proc


def engine_call(command, proc):
    """One request to the engine as the README's line lets it be reached:
    with its token, under the name it allows."""
    headers = {}
    if "--token-file" in command:
        headers["Authorization"] = f"Bearer {ENGINE_TOKEN}"
    if "--allow-host" in command:
        words = shlex.split(command)
        headers["Host"] = f"{words[words.index('--allow-host') + 1]}:{proc.address.rpartition(':')[2]}"
    with httpx.Client(timeout=10) as http:
        resp = http.get(f"{proc.url}/canvases", headers=headers)
        assert resp.status_code == 200, resp.text
        assert resp.json()["canvases"][0]["name"] == "agent_docs"
        if "Authorization" in headers:
            assert http.get(f"{proc.url}/canvases", headers={**headers, "Authorization": ""}).status_code == 401


async def run_engine(command, files):
    with start_engine(command, files) as proc:
        engine_call(command, proc)


def server_on_engine(engine_line):
    """A runner for a server line that names an engine: the engine started
    from the README's own engine line, then the server on it."""

    async def run(command, files):
        with start_engine(engine_line, files) as eng:
            engine_call(engine_line, eng)
            await run_http_server(command, files, engine_url=eng.url)
            # What the agent saved through the server is in the engine.
            token = ENGINE_TOKEN if "--token-file" in engine_line else None
            with HttpEngine(eng.url, timeouts=FAST, token=token) as engine:
                listed = engine.list_pages(limit=100)["pages"]
                assert "via-engine" in [p["title"] for p in listed]

    return run


def store_engine(where):
    return contextlib.closing(open_store_engine(where, canvas=None, state=None))


def at_a_terminal(args, answer=b"y\n"):
    """`python -m kelvo_mcp.engine ARGS` with a terminal for stdin and
    stdout, `answer` typed at its question; its exit status and output."""
    leader, follower = pty.openpty()
    env = {**os.environ, "PYTHONPATH": str(HOST)}
    proc = subprocess.Popen([sys.executable, "-m", "kelvo_mcp.engine", *args], stdin=follower, stdout=follower,
                            stderr=subprocess.DEVNULL, env=env)
    os.close(follower)
    seen = b""
    try:
        while b"[y/N]" not in seen:
            chunk = os.read(leader, 4096)
            assert chunk, seen
            seen += chunk
        os.write(leader, answer)
        return proc.wait(timeout=30), seen.decode()
    finally:
        if proc.poll() is None:
            proc.kill()
        os.close(leader)


async def run_user_act(command, files):
    """The user's acts on a store: approving (at a terminal, or with the
    revision read given by --expect), revoking, the log of both."""
    store = store_of(argv(command, files), files)
    with store_engine(store) as engine:
        page_id = engine.save_doc("deploy-steps", [{"block_type": "paragraph", "text": "Ship on green."}])["page_id"]
        revision = engine.get_page(page_id)["revision"]
    args = [revision if w == "REVISION" else w for w in argv(command, files)[2:]]
    if "--revoke" in args or "--history" in args:
        assert run_engine_cli("--store", store, "--approve", "deploy-steps",
                              "--expect", revision).returncode == 0
    if "--approve" in args and "--expect" not in args:
        status, shown = at_a_terminal(args)
        assert status == 0 and f"revision: {revision}" in shown, shown
    else:
        run = run_engine_cli(*args)
        assert run.returncode == 0, run.stderr
        if "--history" in args:
            assert [line.split()[1] for line in run.stdout.splitlines()] == ["approved"]
    with store_engine(store) as engine:
        approved = engine.get_page(page_id)["instruction"] == {"state": "approved"}
    assert approved is ("--revoke" not in args)


async def run_oauth_server(command, files):
    """The resource server as written, its issuer one of the test's own on
    loopback (found through its metadata, as a real provider's would be):
    a token the issuer made for the resource URL is served, and the token
    file's token beside it."""
    words = shlex.split(command)
    resource = words[words.index("--resource-url") + 1]
    issuer = Issuer()
    try:
        issuer.resource = resource
        args = argv(command.replace(words[words.index("--oauth-issuer") + 1], issuer.url), files)
        host = {"Host": httpx.URL(resource).host}
        with Process(*args[1:]) as proc:
            with httpx.Client(timeout=10) as http:
                assert http.post(proc.url, json={}, headers=host).status_code == 401
            for token in (issuer.token(), AGENT_TOKEN):
                async with client(proc.url, token=token, headers=host) as mcp:
                    status = reply_of(await mcp.call_tool("kelvo_status", {}))
                    assert status["profile"] == "compact" and not status.get("error"), status
        assert issuer.fetched == 1
    finally:
        issuer.close()


ENGINE_LINE = "-m kelvo_mcp.engine --store kelvo.db --listen 127.0.0.1:8470"
ENGINE_TOKEN_LINE = ("-m kelvo_mcp.engine --store /var/lib/kelvo/kelvo.db --listen 0.0.0.0:8470 "
                     "--token-file /etc/kelvo/engine-token --allow-host engine.internal.example")

COMMANDS = {
    "-m kelvo_mcp.server": run_stdio,
    "-m kelvo_mcp.server --profile full": run_stdio,
    "-m kelvo_mcp.server --canvas my.json": run_stdio,
    "-m kelvo_mcp.server --state kelvo.json": run_stdio,
    "-m kelvo_mcp.server --readonly": run_stdio,
    "-m kelvo_mcp.server --profile compact --store /path/to/kelvo.db": run_stdio,   # the mcpServers configuration
    "-m kelvo_mcp.engine --store /path/to/kelvo.db --approve deploy-steps": run_user_act,
    "-m kelvo_mcp.engine --store /path/to/kelvo.db --approve deploy-steps --expect REVISION": run_user_act,
    "-m kelvo_mcp.engine --store /path/to/kelvo.db --revoke deploy-steps": run_user_act,
    "-m kelvo_mcp.engine --store /path/to/kelvo.db --history deploy-steps": run_user_act,
    "-m kelvo_mcp.engine --store postgresql://kelvo@db.internal.example/kelvo --approve deploy-steps "
    "--expect REVISION": run_user_act,
    "-m kelvo_mcp.server --store $url": run_stdio,
    "-m kelvo_mcp.server --http 127.0.0.1:8765 --store kelvo.db": run_http_server,
    "-m kelvo_mcp.server --http 0.0.0.0:8765 --token-file /etc/kelvo/tokens "
    "--allow-host kelvo.internal.example --store /var/lib/kelvo/kelvo.db": run_http_server,
    "-m kelvo_mcp.server --http 127.0.0.1:8765 --token-file /etc/kelvo/tokens "
    "--allow-host kelvo.internal.example --store /var/lib/kelvo/kelvo.db": run_http_server,
    "-m kelvo_mcp.server --http 0.0.0.0:8765 --stateless --token-file /etc/kelvo/tokens "
    "--store postgresql://kelvo@db.internal.example/kelvo": run_http_server,
    "-m kelvo_mcp.server --http 127.0.0.1:8765 --store /var/lib/kelvo/kelvo.db --resource-url "
    "https://kelvo.example.com/mcp --oauth-issuer https://login.example.com/realms/team "
    "--token-file /etc/kelvo/tokens": run_oauth_server,
    ENGINE_LINE: run_engine,
    "-m kelvo_mcp.engine --store postgresql://kelvo@db.internal.example/kelvo": run_engine,
    "-m kelvo_mcp.server --http 127.0.0.1:8765 --engine http://127.0.0.1:8470/v1": server_on_engine(ENGINE_LINE),
    ENGINE_TOKEN_LINE: run_engine,
    "-m kelvo_mcp.server --http 127.0.0.1:8765 --engine http://engine.internal.example:8470/v1 "
    "--engine-token-file /etc/kelvo/engine-token": server_on_engine(ENGINE_TOKEN_LINE),
}


def test_every_command_line_in_the_readme_has_a_test():
    shown = readme_commands()
    assert len(shown) == len(set(shown))
    assert set(shown) == set(COMMANDS)
    # Each flag the lines document is passed by at least one of them.
    assert set().union(*map(flags, COMMANDS)) >= {
        "--profile", "--canvas", "--state", "--readonly", "--store", "--approve", "--http", "--token-file",
        "--allow-host", "--stateless", "--listen", "--engine", "--engine-token-file", "--resource-url",
        "--expect", "--revoke", "--history",
        "--oauth-issuer"}


@pytest.mark.anyio
@pytest.mark.parametrize("command", list(COMMANDS), ids=[c.removeprefix("-m kelvo_mcp.") for c in COMMANDS])
async def test_the_readme_command_line_runs_as_written(command, files, request):
    if "database" in {PATHS.get(word) for word in shlex.split(command)}:
        files["database"] = request.getfixturevalue("pg_url")
    await COMMANDS[command](command, files)


@pytest.fixture
def anyio_backend():
    return "asyncio"
