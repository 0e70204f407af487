"""Fuzz targets of kelvo_mcp.surfaces: building surfaces from drawn absent
sets, resolving drawn calls, and respelling drawn texts and replies."""

import copy

from draw import Draw
from surfaces_model import CONTENT, GUIDANCE, guidance, names_of, subst

from kelvo_mcp import surfaces as S
from kelvo_mcp import tools as T
from kelvo_mcp.runtime import ToolInputError

ALL = sorted(t.name for t in T.TOOLS)
FAMILY_NAMES = [row[0] for row in S.FAMILIES.values()]
NAME_WORDS = ALL + FAMILY_NAMES + ["kelvo_", "kelvo_x__", "__kelvo_agent_doc__", "kelvo_page_get__", "KELVO_SEARCH",
                                   "kelvo_page_getx", "(op='get')", "\\g<0>", "\\1"]
SURFACES = {p: S.build_surface(p) for p in S.PROFILES}


def _surface(d):
    absent = d.subset(ALL) if d.bool() else ALL[d.int(0, len(ALL)):]
    return S.build_surface(d.pick(list(S.PROFILES)), readonly=d.bool(), absent=absent)


def target_build_surface(data):
    """Every visible tool is offered exactly once, on its own or as a family
    member; nothing absent is offered; the name map, alias lines and every
    family op agree with the surface."""
    d = Draw(data)
    profile = d.pick(list(S.PROFILES) + ["tiny", "", "FULL"])
    readonly = d.bool()
    absent = d.subset(ALL) + d.subset(["kelvo_nope", "", "kelvo_page_read"])
    catalogue_before = copy.deepcopy([(t.input_schema, t.annotations, t.description) for t in T.TOOLS])
    try:
        surface = S.build_surface(profile, readonly=readonly, absent=frozenset(absent) if d.bool() else absent)
    except KeyError as exc:
        assert profile not in S.PROFILES
        assert exc.args == (f"unknown tool profile {profile!r}; known: ['full', 'lean', 'compact']",)
        return
    visible = [t.name for t in T.visible_tools(readonly=readonly, profile="lean" if profile == "lean" else "full",
                                               absent=frozenset(absent))]
    members = [m for st in surface for m in st.members]
    assert sorted(members) == sorted(visible), (profile, absent)
    names = [st.name for st in surface]
    assert len(set(names)) == len(names)
    assert S.surface_names(surface) == set(names)
    disp = S.display_name(surface)
    model = names_of(surface)
    for name in NAME_WORDS:
        assert disp(name) == model.get(name, name)
    for st in surface:
        if profile != "compact":
            assert not st.is_family and st.members == (st.name,)
            continue
        assert st.is_family is bool(st.ops)
        for op, member in st.ops.items():
            if op == "grammar":
                continue
            schema = T._BY_NAME[member].input_schema
            args = {k: "v" for k in schema.get("required", [])}
            assert S.resolve_call(surface, st.name, {"op": " " + op, **args}) == (member, args)
    lines = S.alias_lines(surface)
    assert (lines == "") is (profile != "compact" or not any(st.is_family for st in surface))
    assert catalogue_before == [(t.input_schema, t.annotations, t.description) for t in T.TOOLS]


def _norm_op(args):
    return str(args.get("op") or "").strip()


def _model_resolve(surface, name, args):
    """resolve_call's outcome: (tool, args), or the start of its refusal."""
    by = {st.name: st for st in surface}
    a = dict(args or {})
    if name not in by:
        tool = T._BY_NAME.get(name)
        if tool is None:
            key = next((k for k, row in S.FAMILIES.items() if row[0] == name), None)
            offered = {m for st in surface for m in st.members} | set(by)
            members = [t.name for t in T.TOOLS if t.family == key] if key else []
            if members and not any(m in offered for m in members):
                op = _norm_op(a)
                a.pop("op", None)
                return next((m for m in members if S.OPS[m] == op), members[0]), a
            return "unknown tool "
        if tool.family and S.FAMILIES[tool.family][0] in by:
            return f"{name} is not a tool on this surface (compact): call {S.FAMILIES[tool.family][0]} with "
        return name, a
    st = by[name]
    if not st.is_family:
        return name, a
    op = _norm_op(a)
    a.pop("op", None)
    grammar = "grammar" in st.input_schema["properties"]["op"].get("enum", [])
    if name == "kelvo_page_read" and op == "grammar" and grammar:
        return "__grammar__", {}
    if op not in st.ops:
        return f"{name} needs op = one of "
    member = T._BY_NAME[st.ops[op]].input_schema
    if [k for k in member.get("required", []) if k not in a]:
        return f"{name} op='{op}' requires "
    allowed = set(member.get("properties", {})) | {"canvas"} | set(st.input_schema.get("properties", {}))
    if [k for k in a if k not in allowed]:
        return f"{name} op='{op}' does not take "
    return st.ops[op], a


def target_resolve_call(data):
    """resolve_call agrees with the model of its five refusals and its answers,
    never returns the caller's map, and ignored_args lists, sorted, the
    arguments the op will not use."""
    d = Draw(data)
    surface = d.pick(list(SURFACES.values())) if d.bool() else _surface(d)
    name = d.pick(NAME_WORDS) if d.int(0, 5) else d.text(NAME_WORDS, 3)
    keys = ["op", "page_id", "canvas", "title", "blocks", "limit", "node_id", "query", "zz", "\u00e9", "Z", "name"]
    args = {d.pick(keys) if d.int(0, 4) else d.text((), 3): d.pick(
        ["get", " list ", "GET", "grammar", "create", "", None, 0, 7, "v", "enrich", "it's\n"]) for _ in range(d.int(0, 6))}
    if d.int(0, 8) == 0:
        args = None
    want = _model_resolve(surface, name, args)
    try:
        got = S.resolve_call(surface, name, args)
    except ToolInputError as exc:
        assert type(exc) is ToolInputError and len(exc.args) == 1
        assert isinstance(want, str) and exc.args[0].startswith(want), (name, args, exc.args[0], want)
    else:
        assert got == want, (name, args, got, want)
        assert got[1] is not args
    ignored = S.ignored_args(surface, name, args)
    st = next((s for s in surface if s.name == name), None)
    op = _norm_op(args or {})
    if st is None or not st.is_family or op not in st.ops:
        assert ignored == []
    else:
        allowed = set(T._BY_NAME[st.ops[op]].input_schema.get("properties", {})) | {"canvas", "op"}
        assert ignored == sorted(k for k in (args or {}) if k not in allowed)


class Lying(str):
    def __str__(self):
        return "WRONG"


def target_respell(data):
    """respell_text substitutes exactly the tool names the pattern finds
    (marker keys left alone); respell_guidance respells guidance keys and
    leaves user content as it was, without touching the reply it is given."""
    d = Draw(data)
    surface = d.pick(list(SURFACES.values())) if d.int(0, 3) else _surface(d)
    pick = d.int(0, 5)
    # The name map's result is inserted as its own characters (a str subclass
    # whose __str__ lies included), as re.sub inserts it.
    disp = (S.display_name(surface) if pick < 3 else (lambda n: n[::-1] + "\\g<0>") if pick == 3
            else (lambda n: Lying(n.upper())))
    text = d.text(NAME_WORDS + ["read kelvo_doc_get('", "kelvo_doc_get"], 16)
    assert S.respell_text(text, disp) == subst(text, disp)
    drop = lambda n: None if len(n) % 2 else n  # noqa: E731  (None stands for nothing)
    assert S.respell_text(text, drop) == subst(text, drop)
    keys = sorted(GUIDANCE | CONTENT) + ["next_call", "other", "x"]
    reply = d.value(3, NAME_WORDS + keys + ["read kelvo_doc_get('"])
    if isinstance(reply, dict) and d.bool():
        reply[d.pick(keys)] = d.value(2, NAME_WORDS + keys)
    before = copy.deepcopy(reply)
    got = S.respell_guidance(reply, disp)
    assert got == guidance(reply, disp) or _nan_inside(reply)
    assert reply == before or _nan_inside(reply)


def _nan_inside(v):
    if isinstance(v, float):
        return v != v
    if isinstance(v, list):
        return any(map(_nan_inside, v))
    if isinstance(v, dict):
        return any(map(_nan_inside, v.values()))
    return False
