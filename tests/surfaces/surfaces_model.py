"""A small pure-Python model of name substitution and reply respelling,
written straight from the rules, for the property tests to compare against."""

import re

NAME_RE = re.compile("kelvo_[a-z_]+")
GUIDANCE = {"note", "notes", "_notes", "warning", "hint", "refused", "reason", "error", "message", "detail",
            "recover"}
CONTENT = {"body", "text", "blocks", "answer", "one_liner", "when_to_use", "items", "candidates", "citations",
           "evidence", "nodes", "edges", "pages", "docs", "pinned", "skills"}
LISTED = {"docs", "pinned", "skills", "pages", "items"}
HINT = "read kelvo_doc_get('"


def names_of(surface):
    out = {}
    for st in surface:
        for op, member in st.ops.items():
            out[member] = f"{st.name}(op='{op}')"
    return out


def subst(text, disp):
    return NAME_RE.sub(lambda m: m.group(0) if m.group(0).endswith("__") else disp(m.group(0)), text)


def guidance(obj, disp):
    if isinstance(obj, str):
        return subst(obj, disp)
    if isinstance(obj, list):
        return [guidance(x, disp) for x in obj]
    if not isinstance(obj, dict):
        return obj
    out = {}
    for k, v in obj.items():
        if k in CONTENT:
            if k == "body" and isinstance(v, str) and HINT in v:
                out[k] = v.replace(HINT, "read " + disp("kelvo_doc_get") + "('")
            elif isinstance(v, list) and k in LISTED:
                out[k] = [guidance(x, disp) if isinstance(x, dict) else x for x in v]
            else:
                out[k] = v
        elif k in GUIDANCE and isinstance(v, str):
            out[k] = subst(v, disp)
        elif k in GUIDANCE and isinstance(v, dict):
            out[k] = {ik: subst(iv, disp) if isinstance(iv, str) else iv for ik, iv in v.items()}
        elif k == "next_call" and isinstance(v, dict):
            out[k] = v
        elif isinstance(v, (dict, list)):
            out[k] = guidance(v, disp)
        else:
            out[k] = v
    return out
