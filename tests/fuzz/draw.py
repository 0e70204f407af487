"""Drawing helpers shared by the fuzz targets: texts, values and engine-shaped
data taken from libFuzzer's bytes.

Texts are built from pieces chosen by the input, so a few bytes reach the
characters where the native code branches: every Unicode whitespace and
line-break character, lone surrogates, astral characters, digits of other
scripts, and the words each target names (Markdown prefixes, marker keys,
tool names, secrets). Exhausted input draws the smallest choice, so every
target terminates on every input.
"""

import atheris

WHITESPACE = ("\t\n\x0b\x0c\r\x1c\x1d\x1e\x1f \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B)))
              + "\u2028\u2029\u202f\u205f\u3000")
ODD = ["\r\n", "\ud800", "\udbff", "\udc00", "\udfff", "\U0001f600", "\U0010ffff", "\U0001d11e", "\u200b",
       "\u200d", "\ufeff", "\xe9", "\u0130", "\u1e9e", "\u0663", "\u00b2", "\uff11", "\x00", "\x7f", '"', "'",
       "\\", "{", "}", "[", "]", ":", ",", ".", ")", "-", "_", "<", ">", "`", "#", "*", "0", "9", "A", "z"]
FLOATS = [0.0, -0.0, 0.5, 1.0, 2.9, -2.9, 1e300, -1e300, 5e-324, float("inf"), float("-inf"), float("nan")]
INTS = [0, 1, -1, 2, 7, 12, 63, 64, 65, 199, 200, 201, 255, 256, 2 ** 31, 2 ** 63 - 1, 2 ** 63, -(2 ** 63),
        2 ** 64, 10 ** 30, -(10 ** 400)]


class Draw:
    """A FuzzedDataProvider with the shapes the targets need."""

    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)

    def int(self, lo, hi):
        return self.fdp.ConsumeIntInRange(lo, hi)

    def bool(self):
        return self.fdp.ConsumeBool()

    def pick(self, seq):
        return seq[self.int(0, len(seq) - 1)]

    def maybe(self, value, other=None):
        return value if self.bool() else other

    def text(self, words=(), pieces=24):
        out = []
        for _ in range(self.int(0, pieces)):
            kind = self.int(0, 6)
            if kind == 0:
                out.append(self.pick(WHITESPACE) * self.int(1, 3))
            elif kind == 1:
                out.append(self.pick(ODD))
            elif kind == 2 and words:
                out.append(self.pick(words))
            elif kind == 3:
                out.append(self.fdp.ConsumeUnicode(self.int(0, 6)))
            elif kind == 4:
                out.append(self.pick(WHITESPACE + "".join(ODD[:12])) * self.int(0, 300))
            else:
                out.append(self.fdp.ConsumeBytes(self.int(0, 12)).decode("latin-1"))
        return "".join(out)

    def number(self):
        kind = self.int(0, 3)
        if kind == 0:
            return self.pick(INTS)
        if kind == 1:
            return self.pick(FLOATS)
        if kind == 2:
            return self.fdp.ConsumeInt(8)
        return self.fdp.ConsumeRegularFloat()

    def value(self, depth=3, words=()):
        """A JSON-like value: null, booleans, numbers, strings, lists, str-keyed maps."""
        kind = self.int(0, 7 if depth > 0 else 4)
        if kind == 0:
            return None
        if kind == 1:
            return self.bool()
        if kind == 2:
            return self.number()
        if kind in (3, 4):
            return self.text(words, 6)
        if kind == 5:
            return [self.value(depth - 1, words) for _ in range(self.int(0, 4))]
        return {self.text(words, 3): self.value(depth - 1, words) for _ in range(self.int(0, 4))}

    def subset(self, names):
        return [n for n in names if self.int(0, 3) == 0]
