"""Server instructions: render of the full text for a connection's tools,
with and without a display map, and mentions, against the same steps in
plain Python with the interpreter's re."""

from __future__ import annotations

import re

import plain
from harness import Workload
from kelvo_mcp import instructions
from kelvo_mcp.instructions import COMPACT_REWRITES, NEEDS, render
from kelvo_mcp.prompts import SERVER_INSTRUCTIONS, SERVER_INSTRUCTIONS_LEAN

TOOL_RE = re.compile("kelvo_[a-z_]+")
EVERY_TOOL = sorted(set().union(*NEEDS) | set(TOOL_RE.findall(SERVER_INSTRUCTIONS)))

# A display map as the compact surface builds one: family members shown as
# a family call with an op argument, other tools under their own name.
FAMILIES = {"kelvo_page_": "kelvo_page", "kelvo_doc_": "kelvo_doc", "kelvo_canvas_": "kelvo_canvas"}


def display(name: str) -> str:
    for prefix, family in FAMILIES.items():
        if name.startswith(prefix):
            return f'{family}(op="{name[len(prefix):]}")'
    return name


def py_render(visible, **kwargs):
    return plain.render(visible, **kwargs, full=SERVER_INSTRUCTIONS, lean=SERVER_INSTRUCTIONS_LEAN, needs=NEEDS)


def py_mentions(text):
    return {m for m in TOOL_RE.findall(text) if not m.endswith("__")}


def workloads() -> list[Workload]:
    cases = [
        ("render full, display map, compact swaps",
         dict(display=display, profile="compact", rewrites=COMPACT_REWRITES, extra="Canvas: research.")),
        ("render full, display map", dict(display=display)),
        ("render full, no display", dict()),
        ("render lean, display map", dict(display=display, profile="lean")),
    ]
    out = []
    for name, kwargs in cases:
        assert render(EVERY_TOOL, **kwargs) == py_render(EVERY_TOOL, **kwargs)
        out.append(Workload(name, lambda kw=kwargs: render(EVERY_TOOL, **kw),
                            lambda kw=kwargs: py_render(EVERY_TOOL, **kw), "same steps with re"))
    assert instructions.mentions(SERVER_INSTRUCTIONS) == py_mentions(SERVER_INSTRUCTIONS)
    out.append(Workload("mentions of the full text", lambda: instructions.mentions(SERVER_INSTRUCTIONS),
                        lambda: py_mentions(SERVER_INSTRUCTIONS), "re.findall + set"))
    return out


# -- The connection's render against plain Python, with a target -------------------

from kelvo_mcp import surfaces, tools  # noqa: E402

ALL_NAMES = [t.name for t in tools.TOOLS]
NAME_MAP = surfaces.display_name(surfaces.build_surface("compact"))


def catalogue_workloads() -> list[Workload]:
    kw = dict(display=NAME_MAP, profile="full", rewrites=COMPACT_REWRITES)
    assert render(ALL_NAMES, **kw) == py_render(ALL_NAMES, **kw)
    return [Workload("render all catalogue names, name map, compact swaps", lambda: render(ALL_NAMES, **kw),
                     lambda: py_render(ALL_NAMES, **kw), "plain Python", target=621)]


_base_workloads = workloads


def workloads() -> list[Workload]:  # noqa: F811
    return _base_workloads() + catalogue_workloads()
