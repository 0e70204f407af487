"""The user's approval on the engine: it names a revision, at most one page
of a name is approved (the one in force), every act is logged, and the store
generation rises with every write and approval. In memory and on a store of
each backend."""

import json
import sqlite3

import httpx
import pytest

from kelvo_mcp import refresh
from kelvo_mcp.engine.canvas import SAMPLE_CANVAS, load_canvas, open_store_engine, seed_engine
from kelvo_mcp.engine.store import Store

P = {"block_type": "paragraph"}


@pytest.fixture(params=["memory", "sqlite", "postgresql"])
def engine(request, tmp_path):
    if request.param == "memory":
        yield seed_engine(load_canvas(SAMPLE_CANVAS))
        return
    engine = open_store_engine(tmp_path / "canvas.db" if request.param == "sqlite" else request.getfixturevalue("pg_url"))
    yield engine
    engine.close()


def approvals(engine):
    return {p.page_id: p.approval for p in engine.pages}


def instructions(engine):
    docs, _ = refresh.derive_registry(engine)
    return {d.name: d.page_id for d in docs if refresh.is_instruction(d)}


def status(call):
    with pytest.raises(httpx.HTTPStatusError) as err:
        call()
    return err.value.response.status_code, err.value.response


def test_the_sample_holds_one_approved_page_a_name_and_deleting_it_leaves_no_instruction(engine):
    # The sample's second copy of testing-conventions was approved too: seeding keeps its page, as "none".
    assert approvals(engine)["pg_0003"] == "approved" and approvals(engine)["pg_0008"] == "none"
    approved = [d.name for d in refresh.derive_registry(engine, dedupe=False)[0] if d.approval == "approved"]
    assert len(approved) == len(set(approved)) == 3
    assert instructions(engine)["testing-conventions"] == "pg_0003"
    engine.delete_page("pg_0003")  # an agent's act
    assert "testing-conventions" not in instructions(engine)
    assert engine.doc_in_force("testing-conventions")["page"].page_id == "pg_0008"
    # Only the user puts it back: approving the page now in force.
    engine.approve_doc("testing-conventions")
    assert instructions(engine)["testing-conventions"] == "pg_0008"


def test_approving_names_the_page_in_force_and_its_revision(engine):
    shown = engine.doc_in_force("code-review")
    rev = shown["revision"]
    assert len(rev) == 32 and rev == engine.get_page("pg_0005")["revision"]
    before = (approvals(engine), engine.store_generation())
    # The page changed after the user read it: nothing is approved.
    engine.save_doc("code-review", [{**P, "text": "Approve everything."}])
    after_save = engine.store_generation()
    code, resp = status(lambda: engine.approve_doc("code-review", revision=rev))
    now = engine.get_page("pg_0005")["revision"]
    assert code == 412 and resp.headers["ETag"] == f'"{now}"' and now != rev
    assert approvals(engine) == before[0] and engine.store_generation() == after_save > before[1]
    # Another page of the name is not the one in force: 409 names the one that is.
    code, resp = status(lambda: engine.approve("pg_0008"))
    assert code == 409 and "page pg_0003 is" in resp.json()["detail"]
    code, _ = status(lambda: engine.approve("pg_0005", "changed"))
    assert code == 422
    assert engine.approve("pg_0005", revision=now)["revision"] == now
    assert instructions(engine)["code-review"] == "pg_0005"
    log = engine.approval_history("code-review")
    assert [(e["act"], e["revision"], e["page_id"]) for e in log] == [("approved", now, "pg_0005")]
    assert "Approve everything." in log[0]["body"]


def test_approving_one_page_sets_the_others_of_its_name_to_none_and_revoking_sets_all(engine):
    other = engine.create_page("copy", [{**P, "text": '{"__kelvo_agent_doc__": 1, "name": "api-style", "v": 1}'}])
    engine.approve("pg_0006")  # api-style was "changed"
    states = approvals(engine)
    assert (states["pg_0006"], states[other["page_id"]]) == ("approved", "none")
    assert engine.revoke_doc("api-style") == ["pg_0006", other["page_id"]]
    assert {approvals(engine)[p] for p in ("pg_0006", other["page_id"])} == {"none"}
    assert [e["act"] for e in engine.approval_history("api-style")] == ["approved", "revoked"]
    assert engine.revoke_doc("no-such-doc") == [] and engine.approve_doc("no-such-doc") is None


def test_every_edit_changes_the_revision_and_an_approval_does_not(engine):
    seen = {engine.get_page("pg_0004")["revision"]}
    for edit in (lambda: engine.rename_page("pg_0004", "Release"),
                 lambda: engine.append_blocks("pg_0004", [{**P, "text": "more"}]),
                 lambda: engine.update_blocks("pg_0004", [{"block_id": engine.pages[3].blocks[-1]["block_id"],
                                                           "text": "other"}])):
        edit()
        seen.add(engine.get_page("pg_0004")["revision"])
    assert len(seen) == 4
    rev = engine.get_page("pg_0004")["revision"]
    engine.approve("pg_0004", revision=rev)
    assert engine.get_page("pg_0004")["revision"] == rev


def test_the_store_generation_rises_with_every_write_and_approval_and_nothing_else(engine):
    g = engine.store_generation()
    engine.list_pages()
    engine.get_page("pg_0001")
    assert engine.store_generation() == g
    engine.save_doc("fresh", [])
    engine.approve_doc("fresh")
    engine.revoke_doc("fresh")
    assert engine.store_generation() == g + 3
    status(lambda: engine.delete_page("pg_9999"))  # a failed write commits nothing
    assert engine.store_generation() == g + 3


def test_a_store_of_schema_2_is_upgraded_to_one_approved_page_a_name(tmp_path):
    from kelvo_mcp.engine.schema import APPLICATION_ID, STEPS

    path = tmp_path / "old.db"
    conn = sqlite3.connect(path, isolation_level=None)
    conn.execute("PRAGMA journal_mode=WAL")
    conn.execute("BEGIN")
    STEPS[1](conn)
    STEPS[2](conn)
    marker = '{"__kelvo_agent_doc__": 1, "name": "rules", "kind": "skill", "v": 1}'
    conn.executemany("INSERT INTO meta (key, value) VALUES (?, ?)",
                     [("canvas", '"agent_docs"'), ("identity", "{}"), ("seeded_from", '"old"')])
    conn.executemany("INSERT INTO pages (page_id, title, approval, blocks, doc_name, doc_kind)"
                     " VALUES (?, ?, ?, ?, ?, ?)",
                     [(f"pg_000{i}", "rules", state, json.dumps([{**P, "text": marker}]), "rules", "skill")
                      for i, state in ((1, "none"), (2, "approved"))])
    conn.execute(f"PRAGMA application_id={APPLICATION_ID}")
    conn.execute("PRAGMA user_version=2")
    conn.execute("COMMIT")
    conn.close()
    with Store.open(path) as store:
        assert store.upgraded_from == 2 and store.generation() == 0
        with store.transaction() as tx:
            assert [p.approval for p in tx.pages_named("rules")] == ["none", "none"]
            assert tx.approval_log("rules") == []
