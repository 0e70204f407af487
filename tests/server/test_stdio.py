"""`python -m kelvo_mcp.server` as an MCP client starts it: over stdio, with
its canvas kept in a state file between runs."""

import json
import os
import sys

import pytest

pytest.importorskip("mcp")

from mcp import Client, StdioServerParameters  # noqa: E402

from kelvo_mcp import refresh, surfaces  # noqa: E402
from kelvo_mcp.server import cli  # noqa: E402

from server_session import session  # noqa: E402

pytestmark = pytest.mark.anyio


def stdio(*args):
    env = dict(os.environ, SKBUILD_EDITABLE_SKIP="1")
    return Client(StdioServerParameters(command=sys.executable, args=["-m", "kelvo_mcp.server", *args], env=env),
                  mode="legacy")


async def test_serves_a_session_over_stdio_and_keeps_its_state(tmp_path):
    state = tmp_path / "state.json"
    async with stdio("--profile", "full", "--state", str(state)) as client:
        assert client.instructions.startswith("You are connected to Kelvo")
        assert "STANDING INSTRUCTIONS" in client.instructions
        tools = (await client.list_tools()).tools
        assert [t.name for t in tools] == [st.name for st in surfaces.build_surface("full")]
        saved = await client.call_tool("kelvo_doc_save", {"name": "kept", "body": "Across runs."})
        assert not saved.is_error
        refused = await client.call_tool("kelvo_page_get", {"page_id": 1})
        assert refused.is_error and refused.content[0].text == "kelvo_page_get: page_id must be of type string."
    kept = json.loads(state.read_text())
    assert any(refresh.parse_sentinel(p["blocks"][0]["text"]) == {
        "name": "kept", "kind": "doc", "when_to_use": "", "pinned": False, "v": 1} for p in kept["pages"])
    # The next run starts from the state file, not from the canvas file.
    engine = cli.open_engine(None, state)
    async with session(engine, readonly=True) as (client, _):
        got = await client.call_tool("kelvo_docs_read", {"op": "get", "name": "kept"})
        assert json.loads(got.content[0].text)["body"] == "Across runs."
        # A hidden tool called by its name is not run.
        write = await client.call_tool("kelvo_doc_save", {"name": "x", "body": "y"})
        assert write.content[0].text == "kelvo_doc_save is not offered on this connection: the key is read-only."
    # Blocks written after a restart are numbered past the ones read back.
    engine.append_blocks(engine.pages[0].page_id, [{"block_type": "paragraph", "text": "more"}])
    ids = [b["block_id"] for p in engine.pages for b in p.blocks]
    assert len(ids) == len(set(ids))


@pytest.mark.parametrize("flag, content, message", [
    ("--state", "{not json", "error: state file {path} is not valid JSON: Expecting property name"),
    ("--state", '{"pages": [{"approval": "yes"}]}', 'error: state file {path}: pages[0].approval must be'),
    ("--canvas", None, "error: cannot read canvas file {path}: No such file or directory"),
])
def test_an_unusable_file_is_refused_in_one_line_with_status_2(tmp_path, capsys, flag, content, message):
    path = tmp_path / "file.json"
    if content is not None:
        path.write_text(content)
    with pytest.raises(SystemExit) as exit_:
        cli.main([flag, str(path)])
    assert exit_.value.code == 2
    err = capsys.readouterr().err
    *usage, last = err.strip().splitlines()
    assert usage[0].startswith("usage: python -m kelvo_mcp.server")
    assert last.startswith("python -m kelvo_mcp.server: " + message.format(path=path))
