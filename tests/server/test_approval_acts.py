"""The user's acts as the user makes them: the engine's command line on a
store (what it prints, --expect, the terminal's confirmation, --revoke,
--history) and the approval route over HTTP (If-Match: 428, 412, 409, 422,
200). Each refusal writes nothing."""

import os
import pty
import sqlite3
import subprocess
import sys

import httpx
import pytest

from kelvo_mcp.engine.canvas import open_store_engine
from kelvo_mcp.engine.client import HttpEngine

from engine_proc import HOST, EngineProcess, run_engine_cli

USER = "users-own-token-2"
P = {"block_type": "paragraph"}


@pytest.fixture
def db(tmp_path):
    path = tmp_path / "canvas.db"
    open_store_engine(path).close()
    return path


def rows(db):
    conn = sqlite3.connect(f"file:{db}?mode=ro", uri=True)
    try:
        pages = conn.execute("SELECT page_id, approval, blocks FROM pages ORDER BY seq").fetchall()
        log = conn.execute("SELECT name, page_id, revision, act FROM approvals ORDER BY seq").fetchall()
        return pages, log
    finally:
        conn.close()


def printed_revision(out):
    return next(line.split()[-1] for line in out.splitlines() if line.startswith("revision: "))


def save(db, name, text, kind="skill"):
    engine = open_store_engine(db)
    try:
        return engine.save_doc(name, [{**P, "text": text}], kind)
    finally:
        engine.close()


def test_approving_from_a_shell_names_the_revision_read_and_the_log_keeps_both_acts(db):
    save(db, "code-review", "Body A.")
    first = run_engine_cli("--store", db, "--approve", "code-review")  # not at a terminal: refused
    rev_a = printed_revision(first.stdout)
    assert first.returncode == 2 and first.stderr.count("\n") == 1 and "--expect REVISION" in first.stderr
    ok = run_engine_cli("--store", db, "--approve", "code-review", "--expect", rev_a)
    assert ok.returncode == 0, ok.stderr
    # The agent saves another body: the revision the user read is no longer in force.
    save(db, "code-review", "Body B, \u202eevil\u202c and\u200bhidden.")
    before = rows(db)
    stale = run_engine_cli("--store", db, "--approve", "code-review", "--expect", rev_a)
    assert stale.returncode == 2 and stale.stderr.count("\n") == 1
    assert f"not {rev_a}; nothing was approved" in stale.stderr
    assert rows(db) == before
    # What was printed: the fields, the hidden characters escaped, the diff against body A.
    out = stale.stdout
    assert "kind: skill" in out and "pinned: no" in out and "approval now: changed" in out
    assert "approving makes it an instruction: yes: a skill" in out
    assert "Body B, \\u202eevil\\u202c and\\u200bhidden." in out and "\u202e" not in out
    assert "-Body A." in out and "+Body B" in out
    rev_b = printed_revision(out)
    assert run_engine_cli("--store", db, "--approve", "code-review", "--expect", rev_b).returncode == 0
    revoked = run_engine_cli("--store", db, "--revoke", "code-review")
    assert revoked.returncode == 0 and "no page of it is approved" in revoked.stdout
    history = run_engine_cli("--store", db, "--history", "code-review").stdout.splitlines()
    assert [(line.split()[1], line.split()[-1]) for line in history] == [
        ("approved", rev_a), ("approved", rev_b), ("revoked", rev_b)]
    _, log = rows(db)
    assert [act for *_, act in log if _[0] == "code-review"] == ["approved", "approved", "revoked"]
    assert "no approvals of nothing-here are logged" in run_engine_cli("--store", db, "--history",
                                                                        "nothing-here").stdout


@pytest.mark.parametrize("answer, approved", [(b"y\n", True), (b"\n", False)])
def test_at_a_terminal_the_user_confirms_the_revision_printed(db, answer, approved):
    page = save(db, "deploy", "Ship on Fridays.")["page_id"]
    leader, follower = pty.openpty()
    env = {**os.environ, "PYTHONPATH": str(HOST)}
    proc = subprocess.Popen([sys.executable, "-m", "kelvo_mcp.engine", "--store", str(db), "--approve", "deploy"],
                            stdin=follower, stdout=follower, stderr=subprocess.PIPE, env=env)
    os.close(follower)
    seen = b""
    try:
        while b"[y/N]" not in seen:
            seen += os.read(leader, 4096)
        os.write(leader, answer)
        assert proc.wait(timeout=30) == (0 if approved else 2)
    finally:
        proc.kill() if proc.poll() is None else None
        os.close(leader)
        proc.stderr.close()
    pages, _ = rows(db)
    assert dict((p, a) for p, a, _ in pages)[page] == ("approved" if approved else "none")


def test_the_approval_route_over_http_needs_the_revision_read(db):
    saved = save(db, "house-rules", "Be kind.")
    page = saved["page_id"]
    with EngineProcess("--store", db, admin_token=USER) as proc, HttpEngine(proc.url, admin_token=USER) as engine:
        read = engine.http.get(f"{proc.url}/canvases/agent_docs/pages/{page}")
        etag = read.headers["ETag"]
        assert etag == f'"{read.json()["revision"]}"'
        url = f"{proc.url}/canvases/agent_docs/pages/{page}/approval"
        auth = {"Authorization": f"Bearer {USER}"}

        def put(state="approved", target=url, **headers):
            return engine.http.put(target, json={"state": state}, headers={**auth, **headers})

        before = rows(db)
        assert put().status_code == 428
        assert put(**{"If-Match": "*"}).status_code == 428
        assert put(**{"If-Match": f"W/{etag}"}).status_code == 428
        assert put("changed", **{"If-Match": etag}).status_code == 422
        engine.save_doc("house-rules", [{**P, "text": "Be kinder."}])  # an agent's save after the read
        stale = put(**{"If-Match": etag})
        assert stale.status_code == 412 and stale.headers["ETag"] != etag
        # pg_0008 is the sample's second testing-conventions page, not the one in force.
        other = put(target=url.replace(page, "pg_0008"),
                    **{"If-Match": engine.http.get(f"{proc.url}/canvases/agent_docs/pages/pg_0008").headers["ETag"]})
        assert other.status_code == 409 and "page pg_0003 is" in other.json()["detail"]
        assert rows(db)[1] == before[1]
        done = engine.approve(page, revision=stale.headers["ETag"].strip('"'))
        assert done["approval"] == "approved"
        with pytest.raises(httpx.HTTPStatusError) as err:
            engine.approve(page, revision=etag.strip('"'))
        assert err.value.response.status_code == 412
        assert engine.store_generation() == engine.store_generation() > 0
    _, log = rows(db)
    assert [(p, act) for name, p, _, act in log if name == "house-rules"] == [(page, "approved")]
