"""Canvas files and how an engine is filled from one.

A canvas file (the format the walkthrough's docstring gives) or a JSON state
file is read and checked by `load_canvas`; `seed_engine` turns it into pages of
an in-memory engine; `open_store_engine` opens the engine on a store,
filling a new store once from a state or canvas file.
"""

from __future__ import annotations

import json
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

from kelvo_mcp import refresh
from kelvo_mcp.engine.api import APPROVALS, CanvasError
from kelvo_mcp.engine.embedded import EmbeddedEngine
from kelvo_mcp.engine.statefile import lock_state
from kelvo_mcp.engine.backends import open_store
from kelvo_mcp.engine.stores import StoreBackend

SENTINEL_KEY = "__kelvo_agent_doc__"
SAMPLE_CANVAS = Path(__file__).parent.parent / "demo_canvas.json"


def marker_text(name: str, kind: str = "doc", when_to_use: str = "", pinned: bool = False, v: int = 1) -> str:
    """The one-line doc marker the host writes as a doc page's first block."""
    meta: dict[str, Any] = {SENTINEL_KEY: 1, "name": name, "kind": kind}
    if when_to_use:
        meta["when_to_use"] = when_to_use
    if pinned:
        meta["pinned"] = True
    meta["v"] = int(v)
    return json.dumps(meta)




def doc_blocks(name: str, body: str = "", *, kind: str = "doc", pinned: bool = False, when_to_use: str = "",
               v: int = 1) -> list[dict[str, Any]]:
    """A doc page's blocks as the host saves one: the marker block first, then
    the body's Markdown as blocks, each with its `order`."""
    blocks: list[dict[str, Any]] = [
        {"block_type": "paragraph", "text": marker_text(name, kind, when_to_use, pinned, v), "order": 0}]
    for i, block in enumerate(refresh.markdown_to_blocks(body), start=1):
        blocks.append({**block, "order": i})
    return blocks


def import_state(store: StoreBackend, json_path: str | Path) -> bool:
    """Take in a JSON state file of the reference server (the format
    `EmbeddedEngine.save_state` writes) while the store is still empty; the
    file is left where it is. False when the store was filled already or the
    file does not exist; `CanvasError` when it cannot be read."""
    path = Path(json_path)
    if store.seeded_from is not None or not path.exists():
        return False
    return store.seed_from(seed_engine(load_canvas(path, "state file")), f"state file {path}")


# -- canvas and state files ---------------------------------------------------------

def load_canvas(path: Path, what: str = "canvas file") -> dict[str, Any]:
    """A canvas file (the format the walkthrough's docstring gives) or a state
    file, read and checked; any fault is one `CanvasError` line."""
    try:
        text = path.read_text(encoding="utf-8")
    except OSError as e:
        raise CanvasError(f"cannot read {what} {path}: {e.strerror or e}") from None
    except UnicodeDecodeError:
        raise CanvasError(f"{what} {path} is not UTF-8 text") from None
    try:
        data = json.loads(text)
    except json.JSONDecodeError as e:
        raise CanvasError(f"{what} {path} is not valid JSON: {e.msg} "
                          f"(line {e.lineno}, column {e.colno})") from None
    _check_canvas(data, f"{what} {path}")
    assert isinstance(data, dict)
    return data


def _check_canvas(data: object, source: str) -> None:
    def bad(where: str, what: str) -> CanvasError:
        return CanvasError(f"{source}: {where} {what}")

    if not isinstance(data, dict):
        raise bad("the top level", "must be a JSON object")
    if not isinstance(data.get("canvas", ""), str):
        raise bad('"canvas"', "must be a string")
    if not isinstance(data.get("identity", {}), dict):
        raise bad('"identity"', "must be an object")
    pages = data.get("pages")
    if not isinstance(pages, list):
        raise bad('"pages"', "must be a list of pages")
    for i, page in enumerate(pages):
        where = f"pages[{i}]"
        if not isinstance(page, dict):
            raise bad(where, "must be an object")
        for key in ("page_id", "title", "body"):
            if not isinstance(page.get(key, ""), str):
                raise bad(f"{where}.{key}", "must be a string")
        if "blocks" in page and not (isinstance(page["blocks"], list)
                                     and all(isinstance(b, dict) for b in page["blocks"])):
            raise bad(f"{where}.blocks", "must be a list of block objects")
        if page.get("approval") not in (*APPROVALS, None):
            raise bad(f"{where}.approval", 'must be "approved", "changed", "none" or null')
        seed = page.get("seed")
        if seed is not None and seed not in (refresh.KELVO_FIRST_NAME, refresh.GUIDE_DOC_NAME):
            raise bad(f"{where}.seed", f"must be {refresh.KELVO_FIRST_NAME!r} or {refresh.GUIDE_DOC_NAME!r}")
        doc = page.get("doc")
        if doc is None:
            continue
        if not isinstance(doc, dict):
            raise bad(f"{where}.doc", "must be an object")
        name = doc.get("name")
        if not isinstance(name, str) or not refresh.valid_name(name):
            raise bad(f"{where}.doc.name", "must be a doc name (lowercase letters, digits, '.', '_', '-')")
        if doc.get("kind", "doc") not in refresh.DOC_KINDS:
            raise bad(f"{where}.doc.kind", f"must be one of {', '.join(refresh.DOC_KINDS)}")
        if doc.get("approval", "none") not in (refresh.APPROVED, refresh.CHANGED, refresh.NONE, None):
            raise bad(f"{where}.doc.approval", 'must be "approved", "changed", "none" or null')


def seed_engine(data: dict[str, Any], **kwargs: Any) -> EmbeddedEngine:
    """The docs canvas of a canvas file, as pages on the in-memory engine."""

    engine = EmbeddedEngine(data.get("canvas") or refresh.DEFAULT_DOCS_CANVAS, data.get("identity", {}), **kwargs)
    for page in data["pages"]:
        where: dict[str, Any] = {"page_id": page.get("page_id"),
                                 "updated_at": page.get("updated_at")}
        seed = page.get("seed")
        doc = page.get("doc")
        title = page.get("title")
        if seed == refresh.KELVO_FIRST_NAME:
            # The posture doc exactly as it was seeded onto canvases.
            name, blocks = seed, doc_blocks(seed, refresh.KELVO_FIRST_SEEDED_BODIES[0], pinned=True,
                                            when_to_use=refresh.KELVO_FIRST_WHEN)
            approval = page.get("approval", refresh.APPROVED)
        elif seed == refresh.GUIDE_DOC_NAME:
            name, blocks = seed, doc_blocks(seed, refresh.GUIDE_DOC_BODY, when_to_use=refresh.GUIDE_DOC_WHEN)
            approval = page.get("approval", refresh.NONE)
        elif doc is not None:
            name, blocks = doc["name"], doc_blocks(doc["name"], page.get("body", ""), kind=doc.get("kind", "doc"),
                                                    pinned=bool(doc.get("pinned", False)),
                                                    when_to_use=doc.get("when_to_use", ""))
            approval = doc.get("approval", refresh.NONE)
        else:
            blocks = page.get("blocks")
            if blocks is None:
                blocks = [{**b, "order": i} for i, b in enumerate(refresh.markdown_to_blocks(page.get("body", "")))]
            engine.add_page(page.get("title", ""), blocks, approval=page.get("approval"), **where)
            continue
        engine.add_page(title if title is not None else name, blocks, approval=approval, **where)
    next_page = data.get("next_page")
    if isinstance(next_page, int) and not isinstance(next_page, bool):
        engine._next_id = max(engine._next_id, next_page)
    engine.normalise_approvals()  # as a store's upgrade does: one approved page per name, the one in force
    return engine


def open_store_engine(path: str | Path, *, canvas: str | Path | None = None, state: str | Path | None = None,
                      wall_clock: Callable[[], float] = time.time) -> EmbeddedEngine:
    """The engine on the store `path` names (a SQLite file, or a
    `postgresql://` URL: `kelvo_mcp.engine.stores`). A store that was never filled is
    filled first, in one transaction: from the JSON state file `state` when
    it exists (the file is left in place), else from the canvas file
    `canvas` (default: the built-in sample). A filled store is used as it is;
    `canvas` and `state` are then not read. `StoreError` (a `CanvasError`)
    when it is not a store of ours or was written by a newer schema."""
    store = open_store(path)
    try:
        if store.seeded_from is None:
            if state is not None and Path(state).exists():
                import_state(store, state)
            else:
                source = Path(canvas) if canvas is not None else SAMPLE_CANVAS
                store.seed_from(seed_engine(load_canvas(source)), f"canvas file {source}")
    except BaseException:
        store.close()
        raise
    return EmbeddedEngine(store=store, wall_clock=wall_clock)




def open_state_engine(state: Path, canvas: Path | None = None) -> EmbeddedEngine:
    """The in-memory engine kept in the JSON state file `state`: read from
    it when it exists (else seeded from the canvas file), written back whole
    after every write. One process only: the file's lock is taken first and
    held until `close()` (`kelvo_mcp.engine.statefile`)."""
    lock = lock_state(state)
    try:
        if state.exists():
            engine = seed_engine(load_canvas(state, "state file"))
        else:
            engine = seed_engine(load_canvas(canvas or SAMPLE_CANVAS))
        engine.state_file = state
        try:
            engine.save_state()
        except OSError as e:
            raise CanvasError(f"cannot write state file {state}: {e.strerror or e}") from None
    except BaseException:
        lock.close()
        raise
    engine.state_lock = lock
    return engine
