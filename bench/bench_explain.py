"""Engine failure explanations: cleaning large error bodies (throughput in
MB/s) and wording a typical validation failure, against what CPython itself
does for the same result."""

import random

import httpx

from kelvo_mcp import explain

import harness
from harness import Workload

SECRETISH = explain._SECRETISH
URL = explain._URL


def reference_clean(text: str) -> str:
    """The same cleaning in plain Python: the floor for _clean."""
    text = " ".join(URL.sub("<url>", SECRETISH.sub("<redacted>", text)).split())
    return text[:300] + "\u2026" if len(text) > 300 else text


def error_body(size: int, variant: int) -> str:
    """An error body of `size` characters with keys, tokens and URLs scattered."""
    rng = random.Random(variant)
    words = ["validation", "failed", "for", "field", "value", "the", "request", "body", "missing",
             "expected", "string", "canvas", "page", "block", "order", "ключ", "値"]
    secrets = ["kelvo_sk_4f9a0c2e77", "sk-live_ABCDEFGH1234", "Bearer eyJhbGciOi.payload.sig",
               "api_key=Zx81kq0", "API-KEY: Zx81kq0", "https://engine.kelvo.dev/v1/pages?api_key=abc",
               "http://10.0.0.7:8080/internal/trace/9f2"]
    parts, n = [], 0
    while n < size:
        w = rng.choice(secrets) if rng.random() < 0.05 else rng.choice(words)
        parts.append(w)
        n += len(w) + 1
    return " ".join(parts)[:size]


MB = 1_000_000
BODY = error_body(MB, 1)

def blank_body(size: int) -> str:
    """A body that is mostly padding, with twenty keys and URLs in it: the
    cleaned text stays under the cap, so every character has to be read."""
    secrets = ["sk-live_ABCDEFGH1234", "Bearer\n\n  eyJhbGciOi.sig", "https://engine.kelvo.dev/x?api_key=k"]
    pad = (" " * 60 + "\n" * 40) * (size // 2000)
    return "".join(pad + secrets[i % 3] for i in range(20))[:size]


SPARSE = blank_body(MB)
SHORT = "Field 'title' is required; see https://docs.kelvo.dev/errors#422 (Bearer abc.def)"

REQUEST = httpx.Request("POST", "https://engine.kelvo.dev/v1/pages",
                        extensions={"timeout": httpx.Timeout(30.0).as_dict()})
VALIDATION = httpx.Response(422, request=REQUEST, json={"detail": [
    {"type": "missing", "loc": ["body", "title"], "msg": "Field required", "input": {"blocks": []}},
    {"type": "string_too_long", "loc": ["body", "blocks", 3, "text"],
     "msg": "String should have at most 2000 characters", "ctx": {"max_length": 2000}},
]})
FAILURE = httpx.HTTPStatusError("422 Unprocessable Entity", request=REQUEST, response=VALIDATION)
READ_TIMEOUT = httpx.ReadTimeout("timed out", request=REQUEST)


def throughput(fn, size: int) -> str:
    best, _ = harness.per_call(fn, repeat=3)
    return f"{size / best / 1e6:,.0f} MB/s"


def workloads() -> list[Workload]:
    assert explain._clean(BODY) == reference_clean(BODY)
    assert explain._clean(SPARSE) == reference_clean(SPARSE)
    clean_body = lambda: explain._clean(BODY)  # noqa: E731
    clean_sparse = lambda: explain._clean(SPARSE)  # noqa: E731
    return [
        Workload("_clean 1 MB body, secrets and URLs scattered", clean_body,
                 lambda: reference_clean(BODY), "re.sub + split",
                 note=throughput(clean_body, len(BODY))),
        Workload("_clean 1 MB mostly blank body (read to the end)", clean_sparse,
                 lambda: reference_clean(SPARSE), "re.sub + split",
                 note=throughput(clean_sparse, len(SPARSE))),
        Workload("_clean short detail", lambda: explain._clean(SHORT),
                 lambda: reference_clean(SHORT), "re.sub + split"),
        Workload("http_failure 422 validation reply", lambda: explain.http_failure(
                 "kelvo_page_create", FAILURE, writes=True),
                 lambda: VALIDATION.json(), "response.json()"),
        Workload("timeout read, write, with read call", lambda: explain.timeout(
                 "kelvo_page_update", READ_TIMEOUT, writes=True, read_call="kelvo_page_get(id='p1')"),
                 lambda: READ_TIMEOUT.request.extensions["timeout"].get("read"), "extensions lookup"),
        Workload("call with three arguments", lambda: explain.call(
                 "kelvo_page_get", "work", id="p1", depth=2, fields=["title", "blocks"]),
                 lambda: ", ".join(f"{k}={v!r}" for k, v in
                                   {"id": "p1", "depth": 2, "fields": ["title", "blocks"]}.items()),
                 "f-string join"),
    ]


