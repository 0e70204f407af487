"""The user's acts on the embedded engine: approving the revision of a doc's
page the user read, revoking a name, the approval log.

At most one page of a doc name is approved, the one in force (the first in
canvas order): approving it sets every other page of the name to "none"
(never "changed", which means approved and then edited, nor null, which
means the engine does not report approvals), so no agent's delete or save
can put another approved copy in force. Each act is one write transaction:
the revision check, the states and the log entry commit together or not at
all.
"""

from __future__ import annotations

import datetime
from collections.abc import Callable
from contextlib import AbstractContextManager
from typing import TYPE_CHECKING, Any

from kelvo_mcp.engine.api import Page, PageNotFound
from kelvo_mcp.engine.docs import doc_of
from kelvo_mcp.engine.docs import revision as revision_of
from kelvo_mcp.engine.stores import retried

if TYPE_CHECKING:
    import httpx

    from kelvo_mcp.engine.memory import CanvasTx


class Approvals:
    """The approval calls of `EmbeddedEngine`, which supplies `_tx`,
    `status_error` and `wall_clock`."""

    wall_clock: Callable[[], float]

    if TYPE_CHECKING:
        def _tx(self, write: bool = False, method: str = "GET",
                path: str = "/") -> AbstractContextManager[CanvasTx]: ...
        def status_error(self, status: int, method: str, path: str, detail: Any,
                         headers: dict[str, str] | None = None) -> httpx.HTTPStatusError: ...

    @retried
    def approve(self, page_id: str, state: str = "approved", *, revision: str | None = None) -> dict[str, Any]:
        """What the user does in the Kelvo app: approve the page `page_id`,
        the doc in force for its name (every other page of that name becomes
        "none"), or with state "none" revoke every page of its name. With
        `revision`, only while the page is at that revision (else 412, its
        current ETag attached). 404 for no such page, 409 for a page that is
        not the doc in force (or no doc), 422 for another state."""
        path = f"/pages/{page_id}/approval"
        with self._tx(write=True, method="PUT", path=path) as tx:
            page = tx.get(page_id)
            if page is None:
                raise PageNotFound(f"page {page_id!r} not found")
            return self._approve_in(tx, page, state, revision, path)

    @retried
    def approve_doc(self, name: str, *, revision: str | None = None) -> dict[str, Any] | None:
        """The user's approval of the doc in force named `name` (at revision
        `expect` when given, else 412); None when there is no such doc."""
        path = f"/docs/{name}/approval"
        with self._tx(write=True, method="PUT", path=path) as tx:
            found = tx.find_doc(name=name)
            return None if found is None else self._approve_in(tx, found[0], "approved", revision, path)

    @retried
    def revoke_doc(self, name: str) -> list[str]:
        """Every page of the doc `name` set to "none", logged; their page ids
        (empty when the canvas holds no doc of that name)."""
        with self._tx(write=True, method="PUT", path=f"/docs/{name}/approval") as tx:
            pages = tx.pages_named(name)
            if pages:
                self._revoke_in(tx, name, pages[0])
            return [p.page_id for p in pages]

    def _approve_in(self, tx: CanvasTx, page: Page, state: str, expect: str | None, path: str) -> dict[str, Any]:
        if state not in ("approved", "none"):
            raise self.status_error(422, "PUT", path, [{"loc": ["body", "state"],
                                                        "msg": 'must be "approved" or "none"'}])
        rev = revision_of(page)
        if expect is not None and expect != rev:
            raise self.status_error(412, "PUT", path, f"page {page.page_id} is at revision {rev}, not {expect}: "
                                                      "read it again before approving", headers={"ETag": f'"{rev}"'})
        d = doc_of(page)
        if d is None:
            raise self.status_error(409, "PUT", path,
                                    f"page {page.page_id} is not an agent doc; only docs are approved")
        if state == "none":
            self._revoke_in(tx, d.name, page)
        else:
            found = tx.find_doc(name=d.name)
            in_force = found[0].page_id if found is not None else page.page_id
            if in_force != page.page_id:
                raise self.status_error(409, "PUT", path, f"page {page.page_id} is not the doc in force for "
                                                          f"{d.name!r}: page {in_force} is; approve that one")
            tx.set_approval(page.page_id, "approved")
            tx.clear_approvals(d.name, keep=page.page_id)
            tx.log_approval(d.name, page.page_id, rev, "approved", _now(self), d.body)
        return {"page_id": page.page_id, "name": d.name, "revision": rev, "approval": state}

    def _revoke_in(self, tx: CanvasTx, name: str, page: Page) -> None:
        tx.clear_approvals(name)
        tx.log_approval(name, page.page_id, revision_of(page), "revoked", _now(self), None)

    @retried
    def doc_in_force(self, name: str) -> dict[str, Any] | None:
        """What the user reads before approving `name`: the page in force,
        its doc, its revision, and the last approval of that name (or None)."""
        with self._tx() as tx:
            found = tx.find_doc(name=name)
            if found is None:
                return None
            approved = [e for e in tx.approval_log(name) if e["act"] == "approved"]
            return {"page": found[0], "doc": found[1], "revision": revision_of(found[0]),
                    "last_approved": approved[-1] if approved else None}

    @retried
    def approval_history(self, name: str) -> list[dict[str, Any]]:
        """The user's acts on the doc `name`, oldest first."""
        with self._tx() as tx:
            return tx.approval_log(name)

    @retried
    def normalise_approvals(self) -> None:
        """At most one approved page per doc name, the one in force (after a fill)."""
        with self._tx(write=True) as tx:
            tx.normalise_approvals()



def _now(engine: Approvals) -> str:
    return datetime.datetime.fromtimestamp(engine.wall_clock(), datetime.UTC).strftime("%Y-%m-%dT%H:%M:%SZ")
