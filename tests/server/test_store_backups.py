"""Backing up a store while a server writes to it, as the README says: the
copy is a store holding every acknowledged write, on SQLite (its online
backup) and on PostgreSQL (pg_dump, then pg_restore into an empty database);
and the development server's script."""

import os
import shutil
import subprocess
import sys
import threading

import pytest

from kelvo_mcp.engine.canvas import open_store_engine

P = {"block_type": "paragraph"}
SQLITE_BACKUP = "import sqlite3, sys; sqlite3.connect(sys.argv[1]).backup(sqlite3.connect(sys.argv[2]))"


def _while_writing(where, copy):
    """`copy()` run while another engine writes; the titles acknowledged before it began."""
    engine = open_store_engine(where)
    done, acked = threading.Event(), []

    def write():
        while not done.is_set():
            acked.append(engine.create_page(f"w{len(acked)}", [{**P, "text": "nul \x00 kept"}])["title"])

    writer = threading.Thread(target=write)
    writer.start()
    try:
        while len(acked) < 20:
            done.wait(0.01)
        before = list(acked)
        copy()
    finally:
        done.set()
        writer.join(30)
        engine.close()
    return before


def _holds(where, titles):
    engine = open_store_engine(where)
    try:
        held = {p.title for p in engine.pages}
        assert set(titles) <= held
        made = engine.create_page("after the restore", [])  # new ids go past the copied ones
        assert len({p.page_id for p in engine.pages}) == len(engine.pages) and made["title"] in \
            {p.title for p in engine.pages}
    finally:
        engine.close()


def test_sqlite_online_backup_copies_a_store_in_use(tmp_path):
    db, copy = tmp_path / "kelvo.db", tmp_path / "backup.db"
    open_store_engine(db).close()
    before = _while_writing(str(db), lambda: subprocess.run(
        [sys.executable, "-c", SQLITE_BACKUP, str(db), str(copy)], check=True, timeout=60))
    _holds(str(copy), before)


def test_pg_dump_and_pg_restore_copy_a_store_in_use(tmp_path, postgres):
    if shutil.which("pg_dump") is None or shutil.which("pg_restore") is None:
        pytest.skip("pg_dump and pg_restore are not on PATH")
    dump = tmp_path / "kelvo.dump"
    pg_url = postgres.new_database()
    open_store_engine(pg_url).close()
    before = _while_writing(pg_url, lambda: subprocess.run(
        ["pg_dump", "--format=custom", f"--file={dump}", pg_url], check=True, timeout=60, capture_output=True))
    restored = postgres.new_database()
    subprocess.run(["pg_restore", "--no-owner", f"--dbname={restored}", str(dump)], check=True, timeout=60,
                   capture_output=True)
    _holds(restored, before)
    engine = open_store_engine(restored)
    try:
        assert all(engine.get_page(p.page_id)["blocks"][0]["text"] == "nul \x00 kept"
                   for p in engine.pages if p.title in before)
    finally:
        engine.close()


def test_the_development_server_script_says_its_url_again(postgres):
    if postgres.folder is None:
        pytest.skip("the server is not ours (KELVO_TEST_POSTGRES_URL)")
    from pg_server import SCRIPT

    run = subprocess.run([str(SCRIPT), "url", postgres.folder], capture_output=True, text=True, timeout=60)
    assert run.stdout.strip() == postgres.url and "@127.0.0.1:" in postgres.url
    assert os.environ["PGPASSFILE"] == os.path.join(postgres.folder, "pgpass")
    again = subprocess.run([str(SCRIPT), "start", postgres.folder], capture_output=True, text=True, timeout=60)
    assert again.returncode == 0 and again.stdout.strip() == postgres.url  # already running: the same URL
