"""An engine process for tests: `python -m kelvo_mcp.engine` on 127.0.0.1,
a free port, started and stopped by the test, never left running."""

import os
import pathlib
import re
import selectors
import signal
import subprocess
import sys
import tempfile
import time

HOST = pathlib.Path(__file__).resolve().parents[2] / "host"
START_SECONDS = 30.0  # a cold interpreter on a busy machine; normally well under a second


class EngineProcess:
    """`token`, `admin_token`: written to files the engine is given with
    --token-file and --admin-token-file."""

    def __init__(self, *args, token=None, admin_token=None):
        self.args = [str(a) for a in args]
        self.proc = None
        self.url = None
        self.stderr = tempfile.TemporaryFile()
        self.token, self.admin_token = token, admin_token
        self._tokens = tempfile.TemporaryDirectory()
        for flag, value in (("--token-file", token), ("--admin-token-file", admin_token)):
            if value is not None:
                path = pathlib.Path(self._tokens.name) / flag.strip("-")
                path.write_text(value + "\n")
                self.args += [flag, str(path)]

    def start(self):
        env = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [str(HOST), os.environ.get("PYTHONPATH")]))}
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "kelvo_mcp.engine", "--listen", "127.0.0.1:0", *self.args],
            stdout=subprocess.PIPE, stderr=self.stderr, env=env)
        line = self._first_line()
        match = re.search(r"at (http://127\.0\.0\.1:(\d+)/v1)$", line)
        if not match or match[2] == "0":
            self.stop()
            raise AssertionError(f"engine did not start: {line!r}; stderr: {self.errors()}")
        self.url = match[1]
        return self

    def _first_line(self):
        sel = selectors.DefaultSelector()
        sel.register(self.proc.stdout, selectors.EVENT_READ)
        deadline = time.monotonic() + START_SECONDS
        buf = b""
        while b"\n" not in buf and time.monotonic() < deadline:
            if sel.select(timeout=max(deadline - time.monotonic(), 0)):
                chunk = os.read(self.proc.stdout.fileno(), 4096)
                if not chunk:
                    break
                buf += chunk
        sel.close()
        return buf.decode(errors="replace").strip()

    def errors(self):
        self.stderr.seek(0)
        return self.stderr.read().decode(errors="replace")

    def kill(self):
        """SIGKILL: no clean-up of any kind in the engine."""
        self.proc.send_signal(signal.SIGKILL)
        self.proc.wait(timeout=10)

    def stop(self):
        if self.proc is None or self.proc.poll() is not None:
            return
        self.proc.terminate()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.kill()

    def close(self):
        self.stop()
        if self.proc is not None and self.proc.stdout:
            self.proc.stdout.close()
        self.stderr.close()
        self._tokens.cleanup()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()


def run_engine_cli(*args, timeout=30):
    """`python -m kelvo_mcp.engine ARGS` expected to exit by itself."""
    env = {**os.environ, "PYTHONPATH": str(HOST)}
    return subprocess.run([sys.executable, "-m", "kelvo_mcp.engine", *map(str, args)],
                          capture_output=True, text=True, env=env, timeout=timeout)
