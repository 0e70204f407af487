"""The JSON state file of the in-memory engine (`--state`): written whole
and durably after every write, and kept by one process at a time.

A write goes to a temporary file beside it, fsynced, renamed over the state
file, and the folder fsynced, so a write acknowledged survives the machine
going down and a crash mid-write leaves the previous whole file. Two
processes on one state file would each rewrite it from their own copy and
silently drop the other's writes; the lock file `<state>.lock` (flock, held
while the engine is open, released by the kernel when the process ends)
refuses the second one instead. Several processes share a canvas through a
store (`--store`).
"""

from __future__ import annotations

import fcntl
import json
import os
import tempfile
from pathlib import Path
from typing import IO, Any

from kelvo_mcp.engine.api import CanvasError


def write_state(path: Path, data: Any) -> None:
    """`data` as the JSON text of `path`, whole or not at all, and durable."""
    fd, tmp = tempfile.mkstemp(prefix=".state-", dir=path.parent)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            json.dump(data, f, indent=1)  # ASCII: any text an agent sent survives
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        os.unlink(tmp)
        raise
    folder = os.open(path.parent, os.O_RDONLY)
    try:
        os.fsync(folder)  # the rename itself
    finally:
        os.close(folder)


def lock_state(path: Path) -> IO[str]:
    """The state file's lock, held until the returned file is closed; a
    `CanvasError` line when another process holds it."""
    lock_path = path.with_name(path.name + ".lock")
    try:
        lock = open(lock_path, "a+", encoding="utf-8")
    except OSError as e:
        raise CanvasError(f"cannot lock state file {path}: {e.strerror or e}") from None
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        lock.seek(0)
        holder = lock.read().strip()
        lock.close()
        raise CanvasError(f"state file {path} is in use by another process{f' (pid {holder})' if holder else ''}; "
                          "--state serves one process at a time: to share a canvas, give each server "
                          "--store FILE") from None
    lock.seek(0)
    lock.truncate()
    lock.write(f"{os.getpid()}\n")
    lock.flush()
    return lock
