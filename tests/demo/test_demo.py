"""The walkthrough, run the way the README runs it (`python -m kelvo_mcp.demo`
in a fresh interpreter of the venv), and its variants run in-process."""

import json
import os
import subprocess
import sys

import pytest

# The walkthrough's tool calls go through the MCP SDK's client; the debug
# interpreter's venv has no build of it.
pytest.importorskip("mcp")

from kelvo_mcp import demo, prompts, refresh  # noqa: E402


def run_demo(*args, cwd=None):
    env = dict(os.environ, SKBUILD_EDITABLE_SKIP="1")
    return subprocess.run([sys.executable, "-m", "kelvo_mcp.demo", *args],
                          capture_output=True, text=True, env=env, cwd=cwd, timeout=120)


@pytest.fixture(scope="module")
def text_run():
    run = run_demo()
    assert run.returncode == 0, run.stderr
    return run.stdout


@pytest.fixture(scope="module")
def compact():
    run = run_demo("--json")
    assert run.returncode == 0, run.stderr
    return json.loads(run.stdout)


def run_json(capsys, *args):
    assert demo.main(["--json", *args]) == 0
    return json.loads(capsys.readouterr().out)


def write_canvas(tmp_path, data):
    path = tmp_path / "canvas.json"
    path.write_text(json.dumps(data))
    return str(path)


# -- the readable walkthrough ---------------------------------------------------

def test_prints_every_section_with_its_key_lines(text_run):
    sections = ["Capabilities", "Surface (compact)", "Server instructions", "Registry", "Handshake",
                "Tool calls", "Family calls", "Page vocabulary", "Engine failures explained"]
    positions = [text_run.index(f"== {s} ") for s in sections]
    assert positions == sorted(positions)
    for line in [
        "pages served · via probe",
        "engine calls: whoami(), list_pages(limit=1)",
        "kelvo_page_get → kelvo_page_read op=get",
        "ONCE per session — not before every task",
        "note duplicates: testing-conventions",
        "built-in seed, hidden",
        "STANDING INSTRUCTIONS — approved by the user in the Kelvo app (version ",
        "-- the user approves 'code-review' in the Kelvo app",
        "digest: due, but the rescan timed out in the connect phase; due again in 60 s",
        "refused: kelvo_page_get is not a tool on this surface (compact): call kelvo_page_read with op='get'.",
        "resolved: __grammar__ {}",
        "ignored by this op: limit",
        "h2 -> heading_2",
    ]:
        assert line in text_run, line
    assert "Traceback" not in text_run


# -- the machine-readable walkthrough ---------------------------------------------

def test_json_form_carries_the_connection(compact):
    assert compact["profile"] == "compact"
    assert compact["capabilities"]["absent"] == []
    names = [t["name"] for t in compact["surface"]["tools"]]
    assert "kelvo_page_read" in names and "kelvo_page_get" not in names
    docs = {d["name"]: d for d in compact["registry"]["docs"]}
    assert docs["kelvo-first"]["builtin_seed"] and not docs["agent-memory-guide"]["builtin_seed"]
    assert docs["testing-conventions"]["page_id"] == "pg_0003"  # the first copy wins over pg_0008
    assert "learnings" in docs and "Sprint 42 planning notes" not in {d["title"] for d in docs.values()}
    # The posture block opens the handshake once, from the text, not from the seeded doc.
    assert compact["handshake"].startswith("KELVO-FIRST (Kelvo's default operating posture):\n"
                                           + refresh.KELVO_FIRST_BODY)
    assert "## kelvo-first" not in compact["handshake"]
    version = compact["registry"]["instructions_version"]
    assert f"(version {version})" in compact["handshake"]
    # The first call takes the digest of the scan made at connection start.
    assert compact["calls"][0]["digest"] == "due; took the connection's latest digest"


def test_digest_is_rebuilt_only_when_due_and_follows_the_approval(compact):
    calls = compact["calls"]
    assert [c["digest"].split(" ")[0] for c in calls] == [
        "due;", "not", "not", "not", "due,", "not", "not", "rebuilt"]
    first, last = calls[0]["digest"], calls[-1]["digest"]
    assert first != last  # the approval in between changed the instructions version
    digest = compact["digest"]
    assert last == f"rebuilt (instructions_version {digest['instructions_version']})"
    assert [s["name"] for s in digest["skills"]] == ["release-checklist", "code-review"]
    assert digest["requested"] == [{"name": "api-style", "kind": "doc", "state": "changed since approved"}]
    # Guidance inside the digest names the calls this surface takes.
    assert "kelvo_docs_read(op='refresh')" in digest["note"]


def test_engine_failures_are_worded_not_raised(compact):
    errors = [c["reply"].get("error", "") for c in compact["calls"]]
    # The call to check with is rendered the way this surface takes it.
    assert any("may have APPLIED it. Check before retrying: kelvo_page_read(op='get', page_id='pg_0009')" in e
               for e in errors)
    assert any("Kelvo returned HTTP 404" in e for e in errors)
    failures = compact["failures"]
    assert "<redacted>" in failures["http_422"] and "<url>" in failures["http_422"]
    assert "kelvo_sk_" not in failures["http_422"]


# -- profiles -----------------------------------------------------------------------

def test_full_profile_offers_members_and_refuses_family_names(capsys):
    out = run_json(capsys, "--profile", "full")
    assert all(not t["ops"] for t in out["surface"]["tools"])
    assert out["surface"]["alias_lines"] == ""
    assert "At session start, call kelvo_docs_refresh" in out["instructions"]["text"]
    refused = [e["refused"] for e in out["family_calls"] if "refused" in e]
    assert any(r.startswith("unknown tool 'kelvo_page_read' on this surface; valid: ") for r in refused)


def test_lean_profile_uses_the_lean_instructions(capsys):
    assert run_json(capsys, "--profile", "lean")["instructions"]["text"] == prompts.SERVER_INSTRUCTIONS_LEAN


# -- canvases of one's own ---------------------------------------------------------

def test_engine_without_pages_hides_page_tools_and_says_why(tmp_path, capsys):
    path = write_canvas(tmp_path, {"identity": {"role": "viewer", "capabilities": ["graph"]}, "pages": []})
    out = run_json(capsys, "--canvas", path)
    assert out["capabilities"]["banner"] == "NO pages on this engine (page/doc tools hidden) · via capabilities"
    assert "kelvo_page_get" in out["capabilities"]["absent"]
    assert "kelvo_page_read" not in [t["name"] for t in out["surface"]["tools"]]
    assert "Standing instructions could not be read at startup (this engine serves no pages)" in out["handshake"]
    assert out["digest"] is None
    assert {c["digest"] for c in out["calls"]} == {"off (no docs on an engine without pages)"}


def test_engine_that_predates_approvals_shows_no_instructions(tmp_path, capsys):
    path = write_canvas(tmp_path, {"pages": [
        {"doc": {"name": "house-rules", "pinned": True, "approval": None}, "body": "Be kind."},
        {"doc": {"name": "deploy", "kind": "skill", "approval": None, "when_to_use": "on deploy"}, "body": "Steps."},
    ]})
    out = run_json(capsys, "--canvas", path)
    assert out["handshake"].endswith(refresh.UNREPORTED_NOTE)
    assert out["digest"]["instructions_version"] is None
    assert [r["name"] for r in out["digest"]["requested"]] == ["house-rules", "deploy"]


def test_missing_canvas_file_is_one_line_and_status_2(tmp_path):
    run = run_demo("--canvas", str(tmp_path / "nowhere.json"))
    assert run.returncode == 2
    assert f"error: cannot read canvas file {tmp_path / 'nowhere.json'}: No such file or directory" in run.stderr
    assert "Traceback" not in run.stderr
    assert run.stdout == ""


@pytest.mark.parametrize("content, message", [
    ("{not json", "is not valid JSON: Expecting property name enclosed in double quotes (line 1, column 2)"),
    ("[]", "the top level must be a JSON object"),
    ('{"pages": {}}', '"pages" must be a list of pages'),
    ('{"pages": [{"doc": {"name": "Bad Name"}}]}', "pages[0].doc.name must be a doc name"),
    ('{"pages": [{"doc": {"name": "ok", "approval": "yes"}}]}', "pages[0].doc.approval must be"),
])
def test_malformed_canvas_file_is_a_clear_error(tmp_path, capsys, content, message):
    path = tmp_path / "canvas.json"
    path.write_text(content)
    with pytest.raises(SystemExit) as exit_:
        demo.main(["--canvas", str(path)])
    assert exit_.value.code == 2
    out = capsys.readouterr()
    assert message in out.err
    assert out.out == ""
