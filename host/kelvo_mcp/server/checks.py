"""Arguments checked before a handler runs: the catalogue tool's input
schema, page blocks as the page tools take them, doc names. Each refusal is
one sentence that never echoes a long argument."""

from __future__ import annotations

import json
from typing import Any

import jsonschema  # type: ignore[import-untyped]  # no typed release is pinned

from kelvo_mcp import lexicon, refresh
from kelvo_mcp.runtime import ToolInputError
from kelvo_mcp.tools import _BY_NAME

# The longest argument text a refusal quotes back.
_QUOTE_MAX = 60


_VALIDATORS: dict[str, Any] = {
    name: jsonschema.Draft202012Validator(tool.input_schema) for name, tool in _BY_NAME.items()}


def check_args(tool: str, args: dict[str, Any]) -> None:
    """Refuse arguments that do not fit the catalogue tool's input schema, in
    one sentence that never echoes a long argument."""
    validator = _VALIDATORS.get(tool)
    err = jsonschema.exceptions.best_match(validator.iter_errors(args)) if validator else None
    if err is None:
        return
    where = "/".join(map(str, err.absolute_path))
    what = f"{where} " if where else ""
    rule, value = err.validator, err.validator_value
    if rule == "required":
        missing = [k for k in value if isinstance(err.instance, dict) and k not in err.instance]
        text = f"requires {', '.join(missing)}"
    elif rule == "additionalProperties":
        extra = sorted(k for k in err.instance if k not in err.schema.get("properties", {}))
        text = f"does not take {', '.join(_quote(k) for k in extra[:5])}{' …' if len(extra) > 5 else ''}"
    elif rule == "type":
        text = f"{what}must be of type {value}"
    elif rule == "enum":
        text = f"{what}must be one of {', '.join(map(repr, value))}"
    else:
        text = f"{what}must satisfy {rule} {json.dumps(value)}"
    raise ToolInputError(f"{tool}: {text}.")


def _quote(text: str) -> str:
    return repr(text if len(text) <= _QUOTE_MAX else text[:_QUOTE_MAX] + "…")


def checked_blocks(tool: str, blocks: list[dict[str, Any]], key: str = "blocks",
                   partial: bool = False) -> tuple[list[dict[str, Any]], list[str]]:
    """Blocks as the page tools accept them: a current block type, reached
    through the aliases, or the fallback type with a note; text as text. Ids
    and order are the engine's to assign. `partial` blocks (updates) keep
    out what they do not name."""
    out, notes = [], []
    for i, block in enumerate(blocks):
        fixed = {k: v for k, v in block.items() if k not in ("block_id", "order")}
        if not isinstance(fixed.get("text", ""), str):
            raise ToolInputError(f"{tool}: {key}[{i}].text must be a string.")
        kind = fixed.get("block_type", None if partial else "paragraph")
        if kind is not None and not isinstance(kind, str):
            raise ToolInputError(f"{tool}: {key}[{i}].block_type must be a string.")
        if kind is not None and kind not in lexicon.BLOCK_TYPES:
            current = lexicon.BLOCK_TYPE_ALIASES.get(kind.strip().lower(), lexicon.BLOCK_TYPE_FALLBACK)
            if current == lexicon.BLOCK_TYPE_FALLBACK:
                notes.append(f"{key}[{i}]: unknown block type {_quote(kind)}, written as "
                             f"{lexicon.BLOCK_TYPE_FALLBACK!r}; check it with kelvo_page_get")
            kind = current
        if kind is not None:
            fixed["block_type"] = kind
        if not partial:
            fixed.setdefault("text", "")
        out.append(fixed)
    return out, notes



def check_doc_name(tool: str, name: str) -> None:
    if not refresh.valid_name(name):
        raise ToolInputError(f"{tool}: {_quote(name)} is not a doc name: a lowercase letter or digit, "
                             f"then up to {refresh.MAX_DOC_NAME - 1} of a-z 0-9 . _ -.")


