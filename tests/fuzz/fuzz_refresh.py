"""Fuzz targets of kelvo_mcp.refresh: Markdown and blocks, the doc marker and
names, reading pages and scanning a canvas, the digest, the handshake text and
the refresh timer. Where the ordinary suite keeps a plain-Python model of a
behaviour, the target compares against it."""

import json
import re

from draw import Draw
from test_digest import reference_digest
from test_handshake import reference as reference_handshake
from test_markdown import _model_key, model_b2m, model_m2b

from kelvo_mcp import refresh as r

FENCE = "`" * 3
MD_WORDS = ["# ", "## ", "### ", "#### ", "- ", "* ", "> ", "- [ ] ", "- [x] ", "- [X] ", "---", FENCE,
            FENCE + "py", "1. ", "2) ", "\u0663. ", "\u00b2. ", "[ ]", '{"__kelvo_agent_doc__": 1}',
            ' {"__kelvo_x__"', "{\u3000\"__kelvo_a__\"", "\n", "\r\n", "word"]
BLOCK_TYPES = ["heading_1", "heading_2", "heading_3", "bulleted", "numbered", "todo", "todo_done", "quote",
               "divider", "code", "paragraph", "callout", "image", "text", "heading", "h2", "", None, 0, 7, 2.5,
               True]
ORDERS = [None, 0, 1, -1, 2, 2.0, 1.5, -0.0, float("nan"), float("inf"), float("-inf"), "2", " 1 ", "1e0",
          "nan", "inf", "", True, False, 10 ** 30, -(10 ** 400), "abc", [], {}, "\u0663"]
NAMES = ["a", "b", "guide", "release-checklist", "v1.2_final", r.KELVO_FIRST_NAME, "x" * 64, "x" * 65, "Doc",
         " a ", "-x", "\u00e4", "0", "a\n"]
KINDS = ["doc", "skill", "learnings", "Skill ", "SKILL", "note", "", None, 3]
STATES = ["approved", "changed", "none", "unknown", "APPROVED", "pending", None, 1]
MARKER = re.compile(r'^\s*\{\s*"__kelvo_[a-z_]+__"')
TOOL_WORDS = ["kelvo_page_get", "kelvo_doc_get", "kelvo_docs_refresh", "kelvo_doc_list", "__kelvo_agent_doc__",
              "kelvo_x__", "kelvo_"]


def _block(d, marker_text=None):
    block = {}
    if d.bool():
        block["block_type"] = d.pick(BLOCK_TYPES)
    if marker_text is not None:
        block["text"] = marker_text
    elif d.bool():
        block["text"] = d.text(MD_WORDS) if d.int(0, 5) else d.value(1)
    if d.bool():
        block["order"] = d.pick(ORDERS) if d.int(0, 3) else d.number()
    return block


def _blocks(d, markers=()):
    out = []
    for _ in range(d.int(0, 10)):
        k = d.int(0, 6)
        if k == 0 and markers:
            out.append(_block(d, d.pick(markers)))
        elif k == 1:
            out.append(d.value(1))
        else:
            out.append(_block(d))
    return out


def _same_outcome(f, g, *args):
    """f and g give equal results, or both raise the same kind of error."""
    try:
        want = g(*args)
    except (TypeError, ValueError, OverflowError) as exc:
        try:
            f(*args)
        except type(exc):
            return None
        raise AssertionError(f"expected {type(exc).__name__}") from None
    got = f(*args)
    assert got == want, (args, got, want)
    return got


def target_markdown_roundtrip(data):
    """markdown_to_blocks agrees with the model; a trip through blocks after
    two that met no marker text changes nothing (a dropped marker keeps the
    lists around it apart once, and a "* [ ] " item may read back as a marker
    to-do), so repeated trips come to rest."""
    d = Draw(data)
    text = d.text(MD_WORDS, 40)
    blocks = r.markdown_to_blocks(text)
    assert blocks == model_m2b(text)
    clean = not any(MARKER.match(b["text"]) for b in blocks)
    x = r.blocks_to_markdown(blocks)
    for _ in range(50):
        again = r.markdown_to_blocks(x)
        nxt = r.blocks_to_markdown(again)
        was_clean, clean = clean, not any(MARKER.match(b["text"]) for b in again)
        if was_clean and clean:
            assert nxt == x, text
            return
        x = nxt
    raise AssertionError(f"no rest after 50 trips: {text!r}")


def target_blocks_to_markdown(data):
    """blocks_to_markdown over drawn blocks (orders of every kind, types in and
    outside the vocabulary) agrees with the model; no marker text survives."""
    d = Draw(data)
    secret = "zz" + d.text(["q"], 3).encode("ascii", "replace").decode().lower()[:10]
    markers = [r.make_sentinel("m-" + str(len(secret)), "doc", when_to_use=secret),
               '  {"__kelvo_note__": "' + secret + '"}', '\u2003{\t"__kelvo_x_y__": 0, "t": "' + secret + '"}']
    blocks = _blocks(d, markers)
    md = _same_outcome(r.blocks_to_markdown, model_b2m, blocks)
    if md is not None:
        for m in markers:
            assert m.strip() not in md


def target_marker(data):
    """What make_sentinel writes parse_sentinel reads back; any text parses
    to None or to a well-formed marker record; valid_name is the name pattern."""
    d = Draw(data)
    name = d.pick(NAMES) if d.bool() else d.text(["a", "z", "0", ".", "_", "-"], 70)
    assert r.valid_name(name) is bool(re.fullmatch(r"[a-z0-9][a-z0-9._-]{0,63}", name)) or name.endswith("\n")
    kind = d.pick(r.DOC_KINDS)
    when = d.text(TOOL_WORDS, 12)
    pinned = d.bool()
    v = d.pick([1, 2, 2.9, -3, 0, "7", 10 ** 20, True])
    text = r.make_sentinel(name, kind, when, pinned, v)
    written = {"__kelvo_agent_doc__": 1, "name": name, "kind": kind}
    written.update({"when_to_use": when} if when else {})
    written.update({"pinned": True} if pinned else {})
    written["v"] = int(v)
    assert text == json.dumps(written), text
    # Adjacent lone surrogates are written as two escapes, which JSON reads
    # back as one astral character: compare with what the text says.
    meta = json.loads(text)
    back = r.parse_sentinel(d.pick(["", " ", "\n\u3000"]) + text + d.pick(["", "\t", "\u2029"]))
    if r.valid_name(meta["name"].strip()):
        assert back == {"name": meta["name"].strip(), "kind": kind,
                        "when_to_use": meta.get("when_to_use", "")[:r.MAX_WHEN_TO_USE],
                        "pinned": pinned, "v": max(int(v), 1)}, (text, back)
    else:
        assert back is None
    # Text that is almost a marker: well-formed or nothing.
    raw = d.text(['{"__kelvo_agent_doc__": ', '"name": ', '"kind": ', '"v": ', '"pinned": ', '"when_to_use": ',
                  '"a"', '"skill"', "1", "0", "true", "null", "NaN", "-Infinity", "1e999", "[", "]", "{", "}",
                  ", ", '"\\ud800"', '"\\u00e4"'], 30)
    for t in (raw, text[:d.int(0, len(text))] + raw):
        got = r.parse_sentinel(t)
        if got is not None:
            assert list(got) == ["name", "kind", "when_to_use", "pinned", "v"], got
            assert r.valid_name(got["name"]) and got["kind"] in r.DOC_KINDS
            assert type(got["pinned"]) is bool and type(got["v"]) is int and got["v"] >= 1
            assert len(got["when_to_use"]) <= r.MAX_WHEN_TO_USE


def _model_doc(row, detail):
    """doc_from_page written plainly over the Markdown model."""
    blocks = [b for b in (detail.get("blocks") or []) if isinstance(b, dict)]
    ordered = sorted(blocks, key=_model_key)
    first = next((b for b in ordered if str(b.get("text") or "").strip()), None)
    if first is None:
        return None
    meta = r.parse_sentinel(str(first.get("text") or ""))
    if meta is None:
        return None
    inst = detail.get("instruction")
    state = inst.get("state") if isinstance(inst, dict) else None
    return r.DocInfo(
        meta["name"], meta["kind"], str(row.get("title") or detail.get("title") or meta["name"]),
        meta["when_to_use"], meta["pinned"], str(row.get("page_id") or detail.get("page_id") or ""),
        detail.get("updated_at") or row.get("updated_at"),
        model_b2m(ordered), meta["v"], state if state in ("approved", "changed", "none") else "unknown")


class Boom(Exception):
    pass


class Client:
    def __init__(self, d, listing, details):
        self.d, self.listing, self.details, self.calls = d, listing, details, []

    def list_pages(self, **kw):
        self.calls.append(("list_pages", kw))
        if self.d.int(0, 30) == 0:
            raise Boom("listing")
        return self.listing

    def get_page(self, *a, **kw):
        self.calls.append(("get_page", a, kw))
        if self.d.int(0, 30) == 0:
            raise Boom("page")
        return self.details.get(a[0]) if a else None


def target_registry(data):
    """doc_from_page agrees with a plain model; derive_registry asks exactly
    one listing then one page per row with an id, keeps the first doc of each
    name, notes duplicates and the truncation, and lets client errors through."""
    d = Draw(data)
    rows, details = [], {}
    for i in range(d.int(0, 8)):
        pid = d.pick(["p%d" % i, "p%d" % i, "p0", "", None, 7])
        rows.append({"page_id": pid, "title": d.maybe(d.text(["Guide"], 3)), "updated_at": d.maybe("t%d" % i)}
                    if d.int(0, 8) else d.value(1))
        marker = r.make_sentinel(d.pick(NAMES), d.pick(r.DOC_KINDS), d.text(TOOL_WORDS, 3), d.bool(),
                                 d.pick([1, 2]))
        detail = {"blocks": _blocks(d, [marker, marker, " " + marker]), "title": d.maybe("T%d" % i),
                  "page_id": d.maybe("q%d" % i), "updated_at": d.maybe("u%d" % i),
                  "instruction": d.pick([None, {"state": d.pick(STATES)}, "approved", {}])}
        if d.int(0, 10) == 0:
            detail = d.value(1)
        details[str(pid)] = detail
        if isinstance(rows[-1], dict) and isinstance(detail, dict):
            _same_outcome(r.doc_from_page, _model_doc, rows[-1], detail)
    listing = {"pages": rows, "has_more": d.value(0)} if d.int(0, 8) else d.value(1)
    client = Client(d, listing, details)
    max_pages = d.pick([50, 1, 3, 0])
    dedupe = d.bool()
    budget = d.pick([None, None, 0, 0.5, 2.5, 6.0])
    step = d.pick([0.0, 0.25, 1.0, 3.0])
    readings = iter(step * k for k in range(1, 10 ** 6))
    try:
        docs, notes = r.derive_registry(client, max_pages=max_pages, dedupe=dedupe, budget_seconds=budget,
                                        clock=lambda: next(readings))
    except Boom:
        return
    except (TypeError, ValueError, AttributeError, OverflowError):
        # Engine data of the wrong shape, or an unreadable order; listed pages
        # that are not a list fail before any page is asked for.
        pages = listing.get("pages") if isinstance(listing, dict) else None
        if pages and not isinstance(pages, (list, tuple)):
            assert [c[0] for c in client.calls] == ["list_pages"]
        return
    assert client.calls[0] == ("list_pages", {"limit": max_pages})
    assert all(c[0] == "get_page" and len(c[1]) == 1 and not c[2] for c in client.calls[1:])
    names = [x.name for x in docs]
    if dedupe:
        assert len(set(names)) == len(names)
    assert set(notes) <= {"truncated", "budget", "duplicates"}
    assert ("truncated" in notes) is bool(listing and listing.get("has_more"))
    rows = (listing or {}).get("pages") or []
    # The clock is read once for the deadline, then before each row.
    stop = next((i for i in range(len(rows)) if budget is not None and step * (i + 2) >= step + budget), None)
    if stop is None:
        assert "budget" not in notes
    else:
        rows = rows[:stop]
        assert notes["budget"].startswith(f"registry scan stopped at its {budget:g}s time budget after {stop} of ")
    expected = []
    for row in rows:
        pid = str((row or {}).get("page_id") or "")
        doc = _model_doc(row, details.get(pid) or {}) if pid else None
        if doc is not None and not (dedupe and doc.name in [x.name for x in expected]):
            expected.append(doc)
    assert docs == expected


def _docs(d):
    out = []
    for i in range(d.int(0, 7)):
        name = d.pick(NAMES[:6] + ["n%d" % i] * 3)
        body = d.text(TOOL_WORDS + MD_WORDS, 10) if d.int(0, 6) else r.KELVO_FIRST_SEEDED_BODIES[0]
        out.append(r.DocInfo(name, d.pick(r.DOC_KINDS), d.text((), 2), d.text(TOOL_WORDS, 8), d.bool(),
                             d.pick(["p", "", "p%d" % i]), d.pick([None, "t", 3]), body, 1,
                             d.pick(["approved", "approved", "changed", "none", "unknown"])))
    return out


def target_digest(data):
    """build_digest agrees with lowering one entry at a time, and its JSON text
    fits cap_chars unless nothing is left to give up."""
    d = Draw(data)
    docs = _docs(d)
    cap = d.pick([0, 200, 201, 350, 500, 800, 2000, 2500.7, 10 ** 6])
    extra = d.maybe({d.pick(["note", "registry", "x"]): d.text(TOOL_WORDS, 6)})
    now = d.pick([0, 59.9, 1.7e9, 253402300799.0])
    got = r.build_digest(docs, cap_chars=cap, now=now, extra=extra)
    assert got == reference_digest(docs, cap, now, extra)
    if got is not None and len(json.dumps(got)) > max(int(cap), 200):
        assert not (got["skills"] or got["requested"] or got["docs"]), got


def target_handshake(data):
    """handshake_text agrees with the plain reference under drawn docs, budgets,
    errors and name maps; a failing name map's error passes through."""
    d = Draw(data)
    docs = None if d.int(0, 6) == 0 else _docs(d)
    cap = d.pick([0, 100, 300, 4000, 10 ** 5])
    error = d.maybe(d.text(TOOL_WORDS, 4))
    kelvo_first = d.bool()
    spelled = {n: d.text(["X(op='get')", "\\1", "\\g<0>"], 3) for n in TOOL_WORDS[:4]}
    display = d.pick([None, lambda n: spelled.get(n, n), lambda n: n.upper()])
    got = r.handshake_text(docs, cap_chars=cap, error=error, display=display, kelvo_first=kelvo_first)
    assert got == reference_handshake(docs, cap, error, display, kelvo_first)

    def boom(name):
        raise Boom(name)

    try:
        r.handshake_text(docs, cap_chars=cap, error=error, display=boom, kelvo_first=kelvo_first)
    except Boom:
        pass


class Clock:
    def __init__(self, d):
        self.d, self.now, self.reads = d, 0.0, 0

    def __call__(self):
        self.reads += 1
        self.now += self.d.pick([0.0, 0.5, 1.0, 59.0, 600.0, 1e9, -5.0])
        return self.now


def target_timer(data):
    """RefreshState follows the plain state machine over drawn sequences of
    tick, fired and failed, and reads the clock only when it must."""
    d = Draw(data)
    calls = d.pick([1, 2, 3, 12, 0, -4, 2.7, True])
    minutes = d.pick([10.0, 0.0, 0.01, 1.0, -1.0, float("nan"), float("inf"), 1e300])
    clock = Clock(d)
    st = r.RefreshState(calls, minutes, clock)
    m_calls = max(int(calls), 1)
    product = float(minutes) * 60
    m_secs = product if product > 1.0 else 1.0
    assert (st.calls, st.seconds) == (m_calls, m_secs)
    count, last, building = 0, None, False
    for _ in range(d.int(0, 40)):
        op = d.int(0, 5)
        before = clock.reads
        if op <= 3:
            count += 1
            got = st.tick()
            if building or last is None or count >= m_calls:
                assert clock.reads == before  # decided without the clock
                want = not building
            else:
                assert clock.reads == before + 1
                want = clock.now - last >= m_secs
            assert got is want
            building = building or want
        elif op == 4:
            st.fired()
            count, last, building = 0, clock.now, False
        else:
            retry = d.pick([60.0, 0.0, 0.5, 2.0, -3.0, float("nan")])
            st.failed(retry)
            count, last, building = 0, clock.now - m_secs + (retry if retry > 1.0 else 1.0), False


class _Changing(dict):
    """A map whose items() first changes a container of the value it sits in."""

    change = staticmethod(lambda: None)

    def items(self):
        self.change()
        return list(super().items())


def _changing_value(data):
    """A JSON-like value some of whose maps clear, shrink or grow a container
    of that same value (an ancestor, a sibling, themselves) when they are
    written. The same bytes build the same value, so it can be built twice."""
    d = Draw(data)
    made, hooked = [], []

    def build(depth):
        kind = d.int(0, 3 if depth else 1)
        if kind == 0:
            return d.pick([None, True, 1, -2.5, float("nan"), 10 ** 20])
        if kind == 1:
            return d.text(["k", "\ud800", "\U0001f600", '"'], 3)
        if kind == 2:
            out = []
            made.append(out)
            out.extend(build(depth - 1) for _ in range(d.int(0, 4)))
            return out
        out = _Changing() if d.bool() else {}
        made.append(out)
        if type(out) is _Changing:
            hooked.append(out)
        for _ in range(d.int(0, 4)):
            out[d.pick(["a", "b", "c", "d"])] = build(depth - 1)
        return out

    root = build(3)
    for m in hooked:
        target, action = d.pick(made), d.int(0, 3)
        if action == 0:
            m.change = target.clear
        elif action == 1 and isinstance(target, list):
            m.change = lambda t=target: t and t.pop()
        elif action == 1:
            m.change = lambda t=target: t and t.popitem()
        elif action == 2 and isinstance(target, list):
            m.change = lambda t=target: len(t) < 8 and t.append(len(t))
        elif action == 2:
            m.change = lambda t=target: t.setdefault("grown", [len(t)])
    return root


def target_json_changing(data):
    """JSON text written by the core (the doc marker's name) is what json.dumps
    writes for a value that clears, shrinks or grows itself while written."""
    try:
        want = json.dumps(_changing_value(data))
    except (ValueError, RuntimeError, RecursionError) as exc:
        want = type(exc)
    try:
        text = r.make_sentinel(_changing_value(data), "doc")
        got = text[text.index('"name": ') + 8:text.index(', "kind": ')]
    except (ValueError, RuntimeError, RecursionError) as exc:
        got = type(exc)
    assert got == want, (got, want)
