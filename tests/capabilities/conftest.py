"""An engine client double for the capability checks: a scripted whoami and
list_pages that record how they were called."""

import httpx
import pytest

PAGES_URL = "https://engine.test/v1/pages?limit=1"


def status_error(status, *, headers=None, json=None, content=None):
    """The HTTPStatusError httpx raises for a listing answered with `status`."""
    request = httpx.Request("GET", PAGES_URL)
    response = httpx.Response(status, headers=headers, json=json, content=content, request=request)
    return httpx.HTTPStatusError(f"Client error '{status}' for url '{PAGES_URL}'", request=request, response=response)


class FakeEngine:
    """whoami answers `identity` (or raises it when it is an exception);
    list_pages raises `listing` when it is an exception, else returns a page list."""

    def __init__(self, identity=None, listing=None):
        self.identity = identity
        self.listing = listing
        self.calls = []

    def whoami(self, *args, **kwargs):
        self.calls.append(("whoami", args, kwargs))
        if isinstance(self.identity, BaseException):
            raise self.identity
        return self.identity

    def list_pages(self, *args, **kwargs):
        self.calls.append(("list_pages", args, kwargs))
        if isinstance(self.listing, BaseException):
            raise self.listing
        return {"pages": [{"id": "p1", "title": "Home"}]}

    @property
    def probed(self):
        return [c for c in self.calls if c[0] == "list_pages"]


@pytest.fixture
def engine():
    return FakeEngine


@pytest.fixture
def http_error():
    return status_error
