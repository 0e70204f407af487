"""Repeated and concurrent calls: no object is left behind, and threads
calling at once see the same results as one thread alone."""

import gc
import threading

from kelvo_mcp import surfaces as S
from kelvo_mcp.runtime import ToolInputError

COMPACT = S.build_surface("compact")
DISP = S.display_name(COMPACT)
REPLY = {"pages": [{"body": "read kelvo_doc_get('x')", "hint": "kelvo_page_get", "next_call": {"a": 1},
                    "detail": {"x": "kelvo_page_get"}}], "notes": ["kelvo_doc_get", 1]}
CALLS = [("kelvo_page_edit", {"op": "insert", "page_id": "p", "after": "b", "blocks": [], "canvas": "c"}),
         ("kelvo_page_get", {}), ("kelvo_nope", None), ("kelvo_page_read", {"op": "x"}),
         ("kelvo_page_read", {"op": "get"}), ("kelvo_page_read", {"op": "list", "zz": 1}),
         ("kelvo_page_read", {"op": "grammar"}), ("kelvo_docs_read", {"op": "get", "name": "n"})]


def outcome(fn, *args):
    try:
        return fn(*args)
    except (ToolInputError, TypeError, KeyError) as e:
        return type(e).__name__, e.args


def one_round():
    out = [S.build_surface("compact"), S.build_surface("lean", readonly=True, absent={"kelvo_search"}),
           S.respell_guidance(REPLY, DISP), S.respell_guidance(REPLY, str.upper),
           S.respell_text("kelvo_page_get kelvo_x__", DISP), S.alias_lines(COMPACT), S.surface_names(COMPACT),
           S.display_name(COMPACT)("kelvo_doc_get"), outcome(S.respell_text, 5, DISP),
           outcome(S.build_surface, "tiny"), outcome(S.resolve_call, COMPACT, "x", [1]),
           outcome(S.respell_text, "kelvo_a", lambda n: 5)]
    for name, args in CALLS:
        out.append(outcome(S.resolve_call, COMPACT, name, args))
        out.append(outcome(S.ignored_args, COMPACT, name, args))
    return out


def test_repeated_calls_leave_no_objects_behind():
    for _ in range(50):
        one_round()
    gc.collect()
    before = len(gc.get_objects())
    for _ in range(1000):
        one_round()
    gc.collect()
    assert len(gc.get_objects()) - before < 50


def test_threads_agree_with_one_thread():
    expected = one_round()
    results, errors = [], []

    def run():
        try:
            for _ in range(30):
                results.append(one_round() == expected)
        except BaseException as e:  # reported below
            errors.append(e)
    threads = [threading.Thread(target=run) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors and len(results) == 120 and all(results)
