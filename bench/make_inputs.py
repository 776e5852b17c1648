"""Makes the process benchmark's inputs, the same bytes on every run.

    make_inputs.py <directory>

japanese.sjis: Shift_JIS text with CR LF line ends, 1,000,000 bytes; japanese.euc: the same text
as EUC-JP with LF line ends, cut to 1,000,000 bytes at a line end; batch.sjis/ and batch.euc/:
1,000 files of 10,000 bytes each, cut the same way from the same kind of text. Of every hundred
characters about 85 are JIS X 0208 characters (punctuation, kana, level-1 kanji), 3 half-width
katakana and the rest ASCII, in lines of 20 to 80 characters.
"""

import os
import random
import sys


def characters(rng):
    while True:
        roll = rng.random()
        if roll < 0.85:
            row = rng.choice((1, 4, 4, 5) + tuple(range(16, 47)))
            cell = rng.randint(1, 83 if row in (4, 5) else 94)
            if row == 1:
                cell = rng.randint(1, 10)
            yield bytes((row + 0xA0, cell + 0xA0)).decode("euc_jp")
        elif roll < 0.88:
            yield chr(0xFF71 + rng.randint(0, 40))
        else:
            yield rng.choice("abcdefghijklmnopqrstuvwxyz0123456789 ")


def text(rng, size, line_end, encoding):
    """Whole lines of the text, encoded, up to size bytes; padded with ASCII to exactly size."""
    out = bytearray()
    source = characters(rng)
    while True:
        line = "".join(next(source) for _ in range(rng.randint(20, 80)))
        encoded = line.encode(encoding) + line_end
        if len(out) + len(encoded) > size:
            break
        out += encoded
    padding = size - len(out)
    out += b"x" * (padding - len(line_end)) + line_end if padding >= len(line_end) else b""
    return bytes(out.ljust(size, b"x"))


def main():
    directory = sys.argv[1]
    os.makedirs(directory, exist_ok=True)
    for suffix, line_end, encoding in (("sjis", b"\r\n", "shift_jis"), ("euc", b"\n", "euc_jp")):
        rng = random.Random(2026)
        with open(os.path.join(directory, f"japanese.{suffix}"), "wb") as f:
            f.write(text(rng, 1_000_000, line_end, encoding))
        batch = os.path.join(directory, f"batch.{suffix}")
        os.makedirs(batch, exist_ok=True)
        for i in range(1000):
            with open(os.path.join(batch, f"file{i:04d}.txt"), "wb") as f:
                f.write(text(rng, 10_000, line_end, encoding))


if __name__ == "__main__":
    main()
