"""Which page of the canvas is a doc, by the core's rule, for the engine's
own look-ups: a save finds the doc it writes over inside the transaction
that writes, so two saves of one new name make one page.

The rule is the registry's (`refresh.doc_from_page`): a page is a doc when
its first block with text is the doc marker; of several pages naming one
doc, the first in canvas order is the one in force. The learnings doc is
the first doc of kind "learnings" that is the first of its name.
"""

from __future__ import annotations

import hashlib
import json
from collections.abc import Iterable
from typing import Any

from kelvo_mcp import refresh
from kelvo_mcp.engine.api import Page

LEARNINGS = "learnings"
# Hex digits of a revision: 128 bits, so that no one can make two bodies
# that share one (a shorter digest could be matched by search).
REVISION_DIGITS = 32


def revision(page: Page) -> str:
    """The page's revision: the SHA-256, in lowercase hex cut to
    REVISION_DIGITS, of the JSON text of its title and blocks as stored
    ({"title": ..., "blocks": [...]}, key order kept). Every edit changes it;
    the approval state is not part of it."""
    text = json.dumps({"title": page.title, "blocks": page.blocks}, ensure_ascii=False)
    return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()[:REVISION_DIGITS]


def doc_of(page: Page) -> refresh.DocInfo | None:
    """The page as a doc, or None when it is not one (a page whose blocks
    the core cannot read is not one either: the registry scan would fail on
    it, and a save must not)."""
    row = {"page_id": page.page_id, "title": page.title, "updated_at": page.updated_at}
    detail: dict[str, Any] = {**row, "blocks": page.blocks}
    if page.approval is not None:
        detail["instruction"] = {"state": page.approval}
    try:
        return refresh.doc_from_page(row, detail)
    except Exception:
        return None


def first_doc(pages: Iterable[Page], *, name: str | None = None,
              kind: str | None = None) -> tuple[Page, refresh.DocInfo] | None:
    """The doc in force named `name`, or the first in force of kind `kind`,
    with its page; pages in canvas order."""
    seen: set[str] = set()
    for page in pages:
        d = doc_of(page)
        if d is None or d.name in seen:
            continue
        seen.add(d.name)
        if (name is None or d.name == name) and (kind is None or d.kind == kind):
            return page, d
    return None


def marker_block(name: str, kind: str, old: refresh.DocInfo | None) -> dict[str, Any]:
    """The marker a save writes: the kind given, the old doc's trigger and pin kept."""
    text = refresh.make_sentinel(name, kind, old.when_to_use if old else "", old.pinned if old else False)
    return {"block_type": "paragraph", "text": text}
