"""A connection over MCP: the initialize result, the tool listing for each
profile, and family calls as the agent makes them."""

import pytest

pytest.importorskip("mcp")

import jsonschema  # noqa: E402

from kelvo_mcp import capabilities, instructions, refresh, surfaces  # noqa: E402
from kelvo_mcp.runtime import ToolInputError  # noqa: E402

from server_session import reply_of, session  # noqa: E402

pytestmark = pytest.mark.anyio


async def test_initialize_carries_the_instructions_then_the_handshake(engine):
    # Computed here from the modules alone, as any host would.
    caps = capabilities.resolve(engine)
    surface = surfaces.build_surface("compact", absent=caps.absent)
    display = surfaces.display_name(surface)
    rendered = instructions.render([n for t in surface for n in t.members], display=display,
                                   profile="compact", rewrites=instructions.COMPACT_REWRITES)
    docs, _ = refresh.derive_registry(engine)
    async with session(engine) as (client, _):
        assert client.instructions == rendered + "\n\n" + refresh.handshake_text(docs, display=display)
        assert client.server_info.name == "kelvo-mcp"
    assert "kelvo_docs_read(op='refresh')" in rendered


@pytest.mark.parametrize("profile, readonly", [("full", False), ("lean", False), ("compact", False),
                                               ("compact", True)])
async def test_tools_list_is_the_surface_as_built(engine, profile, readonly):
    surface = surfaces.build_surface(profile, readonly=readonly)
    async with session(engine, profile, readonly=readonly) as (client, _):
        listed = (await client.list_tools()).tools
    assert [t.name for t in listed] == [st.name for st in surface]
    for tool, st in zip(listed, surface):
        assert (tool.title, tool.description, tool.input_schema) == (st.title, st.description, st.input_schema)
        assert tool.annotations.read_only_hint == st.annotations["readOnlyHint"]
        assert tool.annotations.destructive_hint == st.annotations["destructiveHint"]
        jsonschema.Draft202012Validator.check_schema(tool.input_schema)
    if readonly:
        assert not any(st.writes for st in surface)


async def test_family_call_resolves_and_its_reply_is_respelled(engine):
    async with session(engine) as (client, conn):
        got = reply_of(await client.call_tool("kelvo_page_read", {"op": "get", "page_id": "pg_0009", "limit": 5}))
        assert conn.agent.history[-1].ran == "kelvo_page_get"
        assert got["text"] == "# Sprint 42\n\n- Ship the page grammar.\n- Fix the flaky export test."
        assert got["notes"] == ["ignored by op='get': limit"]
        # Guidance inside the digest names the calls this surface takes.
        assert "kelvo_docs_read(op='refresh')" in got["standing_docs"]["note"]
        missing = await client.call_tool("kelvo_docs_read", {"op": "get", "name": "no-such-doc"})
        assert missing.is_error
        assert missing.content[0].text == (
            "no doc 'no-such-doc' in canvas agent_docs; possible causes: the name is misspelled; "
            "or the doc was deleted. To see what exists: kelvo_docs_read(op='list').")


async def test_a_refused_call_is_a_tool_error_with_the_exact_message(engine):
    surface = surfaces.build_surface("compact")
    calls = [("kelvo_page_read", {"op": "GET", "page_id": "p"}), ("kelvo_page_get", {"page_id": "p"}),
             ("kelvo_page_read", {"op": "get"}), ("kelvo_nope", {})]
    async with session(engine) as (client, _):
        for name, args in calls:
            with pytest.raises(ToolInputError) as refused:
                surfaces.resolve_call(surface, name, args)
            result = await client.call_tool(name, args)
            assert result.is_error
            assert result.content[0].text == str(refused.value)
            assert result.structured_content["error"] == str(refused.value)


async def test_grammar_op_answers_the_page_grammar(engine):
    async with session(engine) as (client, _):
        got = reply_of(await client.call_tool("kelvo_page_read", {"op": "grammar"}))
    assert got["text"] == surfaces.PAGE_GRAMMAR


async def test_arguments_outside_the_schema_are_refused_in_one_sentence(engine):
    async with session(engine, "full") as (client, _):
        wrong = await client.call_tool("kelvo_page_get", {"page_id": 7})
        extra = await client.call_tool("kelvo_page_list", {"limit": 5, "x" * 10_000: 1})
        low = await client.call_tool("kelvo_page_list", {"limit": 0})
    assert wrong.content[0].text == "kelvo_page_get: page_id must be of type string."
    assert extra.content[0].text.startswith("kelvo_page_list: does not take 'xxxx")
    assert len(extra.content[0].text) < 200
    assert low.content[0].text == "kelvo_page_list: limit must satisfy minimum 1."


async def test_unserved_tools_answer_with_the_engines_refusal(engine):
    async with session(engine, "full") as (client, _):
        result = await client.call_tool("kelvo_search", {"query": "deploy"})
    assert result.is_error
    assert result.content[0].text.startswith("kelvo_search: Kelvo returned HTTP 501")
    assert "search is not served by this engine" in result.content[0].text


async def test_status_and_canvas_tools(engine):
    async with session(engine) as (client, _):
        status = reply_of(await client.call_tool("kelvo_status", {}))
        use = await client.call_tool("kelvo_canvas_read", {"op": "use", "target": "elsewhere"})
    assert status["capabilities"] == "pages served · via probe"
    assert status["role"] == "editor" and "pages:write" in status["scopes"]
    assert use.is_error and "HTTP 404" in use.content[0].text


async def test_an_engine_without_pages_hides_and_refuses_the_page_tools():
    from kelvo_mcp.engine.embedded import EmbeddedEngine

    engine = EmbeddedEngine(identity={"role": "viewer", "capabilities": ["graph"]})
    async with session(engine) as (client, _):
        names = [t.name for t in (await client.list_tools()).tools]
        by_name = await client.call_tool("kelvo_page_get", {"page_id": "pg_0001"})
        status = reply_of(await client.call_tool("kelvo_status", {}))
        assert "Standing instructions could not be read at startup (this engine serves no pages)" in client.instructions
    assert "kelvo_page_read" not in names and "kelvo_docs_read" not in names
    assert by_name.content[0].text == "kelvo_page_get is not offered on this connection: this engine serves no pages."
    assert "standing_docs" not in status
