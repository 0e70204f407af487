"""Agent docs through the protocol: saved, read back, approved in the engine,
then standing in the digest and in a new connection's handshake."""

import pytest

pytest.importorskip("mcp")

from kelvo_mcp import refresh  # noqa: E402

from server_session import reply_of, session  # noqa: E402

pytestmark = pytest.mark.anyio

BODY = "# Deploy\n\nRun the checks first.\n\n- tag the release\n- push the tag\n\n> Never deploy on a Friday."


async def test_saved_doc_reads_back_and_stands_once_approved(engine):
    config = refresh.DocsConfig(enabled=True, canvas=engine.canvas, calls=1)
    async with session(engine, config=config) as (client, conn):
        saved = reply_of(await client.call_tool("kelvo_doc_save", {"name": "deploy-steps", "kind": "skill",
                                                                  "body": BODY}))
        got = reply_of(await client.call_tool("kelvo_docs_read", {"op": "get", "name": "deploy-steps"}))
        assert got["body"] == BODY and got["kind"] == "skill"
        listed = reply_of(await client.call_tool("kelvo_docs_read", {"op": "list"}))
        row = next(d for d in listed["docs"] if d["name"] == "deploy-steps")
        assert (row["approval"], row["instruction"]) == ("none", False)
        assert "deploy-steps" not in [s["name"] for s in got["standing_docs"]["skills"]]

        # The page is a doc page: the marker first, the body's blocks after it.
        page = engine.get_page(saved["page_id"])
        assert page["blocks"][0]["text"] == refresh.make_sentinel("deploy-steps", "skill")
        assert refresh.blocks_to_markdown(page["blocks"]) == BODY

        engine.approve(saved["page_id"])
        after = reply_of(await client.call_tool("kelvo_status", {}))
        assert "deploy-steps" in [s["name"] for s in after["standing_docs"]["skills"]]
        assert after["standing_docs"]["instructions_version"] != got["standing_docs"]["instructions_version"]
    async with session(engine) as (client, conn):
        assert client.instructions.endswith("\n\n" + conn.handshake)
        assert "deploy-steps" in conn.handshake


async def test_saving_over_an_approved_doc_leaves_it_changed(engine):
    async with session(engine) as (client, _):
        saved = reply_of(await client.call_tool("kelvo_doc_save", {"name": "testing-conventions",
                                                                  "body": "Tests first, always."}))
        got = reply_of(await client.call_tool("kelvo_docs_read", {"op": "get", "name": "testing-conventions"}))
    assert saved["page_id"] == "pg_0003"  # the doc in force, not the old copy of the same name
    assert (got["body"], got["approval"], got["pinned"]) == ("Tests first, always.", "changed", True)


@pytest.mark.parametrize("args, message", [
    ({"name": "Bad Name", "body": "x"}, "kelvo_doc_save: 'Bad Name' is not a doc name"),
    ({"name": "big", "body": "x" * (refresh.MAX_DOC_CHARS + 1)},
     f"kelvo_doc_save: the body has {refresh.MAX_DOC_CHARS + 1} characters"),
    ({"name": "ok", "body": "x", "kind": "learnings"}, "kelvo_doc_save: kind must be one of 'doc', 'skill'."),
])
async def test_doc_save_refuses_what_cannot_be_a_doc(engine, args, message):
    async with session(engine) as (client, _):
        result = await client.call_tool("kelvo_doc_save", args)
    assert result.is_error and result.content[0].text.startswith(message)


async def test_learn_appends_a_dated_line_and_delete_removes_the_doc(engine):
    engine.wall_clock = lambda: 1742202000.0  # 2025-03-17
    async with session(engine) as (client, _):
        learned = reply_of(await client.call_tool("kelvo_learn", {"text": "retry  the\nexport", "topic": "ci"}))
        got = reply_of(await client.call_tool("kelvo_docs_read", {"op": "get", "name": "learnings"}))
        gone = reply_of(await client.call_tool("kelvo_doc_delete", {"name": "code-review"}))
        again = await client.call_tool("kelvo_doc_delete", {"name": "code-review"})
    assert learned["learned"] == "2025-03-17 [ci]: retry the export"
    assert got["body"].endswith("\n- 2025-03-17 [ci]: retry the export")
    assert gone["page_id"] == "pg_0005" and all(p.page_id != "pg_0005" for p in engine.pages)
    assert again.is_error and again.content[0].text.startswith("no doc 'code-review' in canvas agent_docs")


async def test_a_doc_past_the_registry_page_limit_is_read_saved_over_and_deleted(engine):
    for i in range(refresh.MAX_REGISTRY_PAGES + 10):
        engine.add_page(f"filler {i}", [{"block_type": "paragraph", "text": f"page {i}"}])
    async with session(engine) as (client, _):
        saved = reply_of(await client.call_tool("kelvo_doc_save", {"name": "late-doc", "body": "First."}))
        listed = reply_of(await client.call_tool("kelvo_docs_read", {"op": "list"}))
        assert "late-doc" not in [d["name"] for d in listed["docs"]]
        assert "only the first 50 were scanned" in listed["note"]
        again = reply_of(await client.call_tool("kelvo_doc_save", {"name": "late-doc", "body": "Second."}))
        got = reply_of(await client.call_tool("kelvo_docs_read", {"op": "get", "name": "late-doc"}))
        gone = reply_of(await client.call_tool("kelvo_doc_delete", {"name": "late-doc"}))
        missing = await client.call_tool("kelvo_docs_read", {"op": "get", "name": "late-doc"})
    # Saved over in place, not as a second page of the same name.
    assert again["page_id"] == saved["page_id"] == got["page_id"] == gone["page_id"]
    assert got["body"] == "Second."
    assert missing.is_error and all(p.page_id != saved["page_id"] for p in engine.pages)
