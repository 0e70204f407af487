"""A real PostgreSQL server for the store's tests, started by the project's
own script (scripts/postgres) in a temporary folder on 127.0.0.1 and
stopped at the end of the run; each test gets a database of its own.

Without PostgreSQL at hand (or without psycopg) the tests that need it are
skipped with the reason, unless KELVO_REQUIRE_POSTGRES=1 (CI sets it), which
makes that a failure. KELVO_TEST_POSTGRES_URL names a server to use instead
(a role that may create databases; the password from PGPASSFILE)."""

import itertools
import os
import pathlib
import shutil
import subprocess
import tempfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
SCRIPT = ROOT / "scripts" / "postgres"
REQUIRED = os.environ.get("KELVO_REQUIRE_POSTGRES") == "1"


class Cluster:
    """The server: its URL (no password), stopped and started again at will."""

    def __init__(self, folder=None, url=None):
        self.folder, self.url = folder, url
        self._names = itertools.count(1)

    def start(self):
        run = subprocess.run([str(SCRIPT), "start", str(self.folder)], capture_output=True, text=True, timeout=600)
        if run.returncode != 0:
            raise RuntimeError(f"scripts/postgres start failed: {run.stderr.strip()[-2000:]}")
        self.url = run.stdout.strip().splitlines()[-1]
        return self

    def quicken(self):
        """No fsync: the tests stop the server only cleanly, and kill
        clients, never the server."""
        import psycopg

        with psycopg.connect(self.url, autocommit=True) as conn:
            conn.execute("ALTER SYSTEM SET fsync = off")
            conn.execute("SELECT pg_reload_conf()")

    def stop(self):
        subprocess.run([str(SCRIPT), "stop", str(self.folder)], capture_output=True, text=True, timeout=120,
                       check=True)

    def new_database(self):
        """A fresh, empty database on the server: its URL. (Ten megabytes
        on disk: most tests take a schema instead.)"""
        import psycopg

        name = f"kelvo_test_{os.getpid()}_{next(self._names)}"
        with psycopg.connect(self.url, autocommit=True) as conn:
            conn.execute(f"CREATE DATABASE {name}")
        return self.url.rsplit("/", 1)[0] + "/" + name

    def new_schema(self):
        """A fresh, empty schema of the server's database, as a store's URL
        that names it (its search_path): a store of its own in milliseconds."""
        import psycopg

        name = f"kelvo_test_{os.getpid()}_{next(self._names)}"
        with psycopg.connect(self.url, autocommit=True) as conn:
            conn.execute(f"CREATE SCHEMA {name}")
        return f"{self.url}?options=-csearch_path%3D{name}"


def _unavailable(reason):
    if REQUIRED:
        pytest.fail(f"PostgreSQL is required here (KELVO_REQUIRE_POSTGRES=1): {reason}")
    pytest.skip(f"no PostgreSQL: {reason}")


@pytest.fixture(scope="session")
def postgres():
    try:
        import psycopg  # noqa: F401
        import psycopg_pool  # noqa: F401
    except ImportError as e:
        _unavailable(f"psycopg is not installed ({e})")
    given = os.environ.get("KELVO_TEST_POSTGRES_URL")
    if given:
        yield Cluster(url=given)
        return
    folder = tempfile.mkdtemp(prefix="kelvo-pg-")
    cluster = Cluster(folder)
    # The password file the script writes; server processes the tests start inherit it.
    before = os.environ.get("PGPASSFILE")
    os.environ["PGPASSFILE"] = str(pathlib.Path(folder) / "pgpass")
    try:
        cluster.start()
        cluster.quicken()
    except Exception as e:  # noqa: BLE001 - whatever kept the server from starting is the reason given
        _restore("PGPASSFILE", before)
        subprocess.run([str(SCRIPT), "stop", folder], capture_output=True, timeout=120)  # if it did start
        shutil.rmtree(folder, ignore_errors=True)
        _unavailable(f"{type(e).__name__}: {e}")
    try:
        yield cluster
    finally:
        try:
            cluster.stop()
        finally:
            _restore("PGPASSFILE", before)
            shutil.rmtree(folder, ignore_errors=True)


def _restore(name, value):
    if value is None:
        os.environ.pop(name, None)
    else:
        os.environ[name] = value


@pytest.fixture
def pg_url(postgres):
    """A fresh store of the test's own: an empty schema."""
    return postgres.new_schema()


@pytest.fixture(params=["sqlite", "postgresql"])
def store_where(request, tmp_path):
    """What `--store` is given, on each backend: a SQLite file, a
    postgresql:// URL of a fresh database."""
    if request.param == "sqlite":
        return str(tmp_path / "canvas.db")
    return request.getfixturevalue("pg_url")
