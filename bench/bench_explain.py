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




# -- Short calls against plain Python ---------------------------------------------
#
# The wording calls a handler makes on each failure, against the same steps in
# plain Python (bench/plain.py); targets are in len() units.

import plain  # noqa: E402

TIMEOUT_REQUEST = httpx.Request("POST", "https://engine.kelvo.dev/v1/answer",
                                extensions={"timeout": {"connect": 5.0, "read": 45.0, "write": 5.0, "pool": 5.0}})
ANSWER_TIMEOUT = httpx.ReadTimeout("timed out", request=TIMEOUT_REQUEST)
LEAKY = httpx.Response(422, request=REQUEST, json={"detail": [
    {"type": "missing", "loc": ["body", "title"], "msg": "Field required"},
    {"type": "value_error", "loc": ["body", "blocks", 0, "icon"],
     "msg": "Bearer eyJhbGciOiJIUzI1NiJ9.e30.sig rejected, see https://docs.kelvo.dev/icons#allowed"},
]})
LEAKY_FAILURE = httpx.HTTPStatusError("422 Unprocessable Entity", request=REQUEST, response=LEAKY)


def short_workloads() -> list[Workload]:
    cases = [
        ("not_found page, three causes, next call", 16,
         lambda m: m.not_found("page", "pg-0042", "research", ["the id is from another canvas", "it was deleted", ""],
                               "kelvo_page_list()")),
        ("timeout read, retrieval class, budget env", 31,
         lambda m: m.timeout("kelvo_answer", ANSWER_TIMEOUT, writes=False, budget_class="retrieval",
                             budget_env="KELVO_READ_TIMEOUT")),
        ("call with a canvas and four arguments", 42,
         lambda m: m.call("kelvo_page_get", canvas="research", page_id="pg-0042", limit=50, include_blocks=True,
                          fields=["title", "blocks"])),
        ("http_failure 422, a token and a URL in the detail", 360,
         lambda m: m.http_failure("kelvo_page_create", LEAKY_FAILURE, writes=True)),
    ]
    out = []
    for name, target, fn in cases:
        assert fn(explain) == fn(plain), name
        out.append(Workload(name, lambda fn=fn: fn(explain), lambda fn=fn: fn(plain), "plain Python", target=target))
    return out


_base_workloads = workloads


def workloads() -> list[Workload]:  # noqa: F811
    return _base_workloads() + short_workloads()
