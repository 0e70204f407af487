"""The module reads the host's two instruction texts when it loads; a full text
whose paragraphs do not match NEEDS fails every non-lean render. Each case
loads the module in a fresh interpreter with its own prompt module."""

import os
import subprocess
import sys
import textwrap

import pytest

SETUP = """
import sys, types
prompts = types.ModuleType("kelvo_mcp.prompts")
{assignments}
sys.modules["kelvo_mcp.prompts"] = prompts
"""


def run_with_prompts(assignments, body):
    code = SETUP.format(assignments=textwrap.dedent(assignments)) + textwrap.dedent(body)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=os.environ.copy(),
                         timeout=60)
    return out.returncode, out.stdout, out.stderr


def test_paragraph_count_mismatch_fails_non_lean_renders():
    code, out, err = run_with_prompts(
        'prompts.SERVER_INSTRUCTIONS = "\\n\\n".join("p%d" % i for i in range(8))\n'
        'prompts.SERVER_INSTRUCTIONS_LEAN = "lean kelvo_learn"\n',
        """
        from kelvo_mcp.instructions import render
        for profile in ("full", "compact"):
            try:
                render([], profile=profile)
            except RuntimeError as e:
                print(e)
        print(render([], profile="lean", display=str.upper))
        """)
    assert code == 0, err
    assert out.splitlines() == ["SERVER_INSTRUCTIONS has 8 paragraphs, NEEDS has 9"] * 2 + ["lean KELVO_LEARN"]


def test_three_line_feeds_leave_one_at_the_start_of_the_next_paragraph():
    code, out, err = run_with_prompts(
        'prompts.SERVER_INSTRUCTIONS = "A\\n\\n\\nB" + "\\n\\nx" * 7\n'
        'prompts.SERVER_INSTRUCTIONS_LEAN = ""\n',
        """
        from kelvo_mcp.instructions import paragraphs, render
        print(repr(paragraphs()[:2]), repr(render([])))
        """)
    assert code == 0, err
    assert out.strip() == "['A', '\\nB'] 'A\\n\\nx'"


@pytest.mark.parametrize("assignments, error", [
    ('prompts.SERVER_INSTRUCTIONS = "x"\n', "ImportError"),
    ('prompts.SERVER_INSTRUCTIONS = b"x"\nprompts.SERVER_INSTRUCTIONS_LEAN = ""\n', "TypeError"),
])
def test_module_does_not_load_without_both_texts(assignments, error):
    code, out, err = run_with_prompts(assignments, "import kelvo_mcp.instructions\n")
    assert code != 0 and error in err


# --- the texts and NEEDS are read through the module, as module globals ---

def test_texts_are_bound_in_the_module():
    from kelvo_mcp import instructions, prompts

    assert instructions.SERVER_INSTRUCTIONS is prompts.SERVER_INSTRUCTIONS
    assert instructions.SERVER_INSTRUCTIONS_LEAN is prompts.SERVER_INSTRUCTIONS_LEAN


def test_rebound_texts_and_needs_are_heard(monkeypatch):
    from kelvo_mcp import instructions
    from kelvo_mcp.instructions import paragraphs, render

    monkeypatch.setattr(instructions, "SERVER_INSTRUCTIONS", "\n\n".join(f"p{i} kelvo_learn" for i in range(8)))
    with pytest.raises(RuntimeError, match="^SERVER_INSTRUCTIONS has 8 paragraphs, NEEDS has 9$"):
        render([])
    assert len(paragraphs()) == 8
    monkeypatch.setattr(instructions, "SERVER_INSTRUCTIONS_LEAN", "short kelvo_learn")
    assert render([], profile="lean", display=str.upper) == "short KELVO_LEARN"

    monkeypatch.setattr(instructions, "NEEDS", (frozenset(),) * 4 + ({"kelvo_learn"},) * 4)
    assert render([]) == "p0 kelvo_learn\n\np1 kelvo_learn\n\np2 kelvo_learn\n\np3 kelvo_learn"
    assert render(["kelvo_learn"], display=lambda n: "L").count("L") == 8
    monkeypatch.setattr(instructions, "NEEDS", (frozenset(),) * 3)
    with pytest.raises(RuntimeError, match="^SERVER_INSTRUCTIONS has 8 paragraphs, NEEDS has 3$"):
        render([])


def test_deleted_text_is_a_name_error(monkeypatch):
    from kelvo_mcp import instructions

    monkeypatch.delattr(instructions, "SERVER_INSTRUCTIONS_LEAN")
    with pytest.raises(NameError, match="SERVER_INSTRUCTIONS_LEAN"):
        instructions.render([], profile="lean")
