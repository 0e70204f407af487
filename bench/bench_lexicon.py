"""Page vocabulary checks: per-call cost against the builtin len() floor."""

from kelvo_mcp import lexicon

from harness import Workload

SHORT = "📘 a"
LONG_BMP = "kelvo docs " * 1000  # 11,000 characters, one byte per code point
LONG_ASTRAL = ("😀abc" * 2500)  # 10,000 characters, UCS-4 storage


def workloads() -> list[Workload]:
    return [
        Workload("utf16_len short", lambda: lexicon.utf16_len(SHORT), lambda: len(SHORT), "len()"),
        Workload("icon_ok short", lambda: lexicon.icon_ok(SHORT), lambda: len(SHORT), "len()"),
        Workload("utf16_len 10k BMP", lambda: lexicon.utf16_len(LONG_BMP),
                 lambda: len(LONG_BMP.encode("utf-16-le", "surrogatepass")), "len(encode utf-16)"),
        Workload("utf16_len 10k astral", lambda: lexicon.utf16_len(LONG_ASTRAL),
                 lambda: len(LONG_ASTRAL.encode("utf-16-le", "surrogatepass")), "len(encode utf-16)"),
        Workload("icon_ok 10k astral", lambda: lexicon.icon_ok(LONG_ASTRAL), lambda: len(LONG_ASTRAL), "len()"),
    ]
