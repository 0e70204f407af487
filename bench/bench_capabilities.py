"""Engine capabilities: resolve against the in-memory engine, for each way
the answer is reached, against the same steps written in plain Python."""

from __future__ import annotations

from typing import Any

import httpx

from harness import Workload
from kelvo_mcp import capabilities
from kelvo_mcp.capabilities import Capabilities
from kelvo_mcp.memory_engine import InMemoryEngine
import plain

REQUEST = httpx.Request("GET", "https://engine.test/v1/pages?limit=1")


class Engine(InMemoryEngine):
    """The in-memory engine with an identity call; `listing_status` makes the
    pages listing fail with that HTTP status."""

    def __init__(self, identity: Any, listing_status: int | None = None, **kwargs: Any) -> None:
        super().__init__()
        self.identity = identity
        self.listing_status = listing_status
        self.listing_kwargs = kwargs
        self.add_page("Home")

    def whoami(self) -> Any:
        if isinstance(self.identity, Exception):
            raise self.identity
        return self.identity

    def list_pages(self, limit: int = 50) -> dict[str, Any]:
        if self.listing_status is not None:
            response = httpx.Response(self.listing_status, request=REQUEST, **self.listing_kwargs)
            response.raise_for_status()
        return super().list_pages(limit)


# The same resolution in plain Python (bench/plain.py): the floor.
UNDECIDED = "undecided"  # the source named when the probe cannot tell


def py_resolve(client):
    return plain.resolve(client, Capabilities, UNDECIDED)


IDENTITY = {"role": " editor ", "scopes": ["graph:read", "graph:write", "pages:read", ""]}


def pair(name: str, client: Engine, floor_name: str = "same steps in Python",
         target: float | None = None) -> Workload:
    assert capabilities.resolve(client) == py_resolve(client)

    def ours():
        capabilities.resolve(client)
        client.calls.clear()

    def floor():
        py_resolve(client)
        client.calls.clear()

    return Workload(name, ours, floor, floor_name, target=target)


def workloads() -> list[Workload]:
    return [
        pair("resolve, declared capabilities", Engine({**IDENTITY, "capabilities": ["graph", " Pages"]})),
        pair("resolve, probe lists a page", Engine(IDENTITY)),
        pair("resolve, probe 404 no route", Engine(IDENTITY, 404, json={"detail": "Not Found"})),
        pair("resolve, probe 404 missing canvas", Engine(IDENTITY, 404, json={"detail": "canvas not found"})),
        pair("resolve, whoami fails", Engine(httpx.ConnectError("refused"))),
    ]


# -- Against plain Python, with a target ------------------------------------------


def canvas_header_workloads() -> list[Workload]:
    # The probe's failure is made once, so the figure is resolve's own work.
    missing = httpx.Response(404, request=REQUEST, headers={"X-Kelvo-Error": "canvas_not_found"},
                             json={"detail": "Not Found"})
    failure = httpx.HTTPStatusError("404 Not Found", request=REQUEST, response=missing)

    class Prepared(Engine):
        def list_pages(self, limit: int = 50) -> dict[str, Any]:
            raise failure.with_traceback(None)  # no traceback piling up over the repeats

    client = Prepared({"role": "editor", "scopes": ["pages:read"]})
    return [pair("resolve, probe 404 with the canvas header", client, "plain Python", target=67)]


_base_workloads = workloads


def workloads() -> list[Workload]:  # noqa: F811
    return _base_workloads() + canvas_header_workloads()
