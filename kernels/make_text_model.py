#!/usr/bin/env python3
"""Writes text_model_tables.cpp: how often each character occurs in real Japanese text, as costs
in quarter bits (-4 log2 of its frequency), from text nobody on this project wrote.

    kernels/make_text_model.py > kernels/text_model_tables.cpp
    kernels/make_text_model.py --check kernels/text_model_tables.cpp   # still current?

Sources (Debian packages): manpages-ja, the running text every JIS X 0208 character and every
katakana run is counted in; kanjidic, whose newspaper frequency ranks (its F field) give the
kanji the manual pages lack a share of the rest; mecab-ipadic, a dictionary of about 250,000
words, each with its reading in katakana. Half-width katakana are counted as the half-width forms
of the manual pages' katakana runs and of the dictionary's readings, so that native words and
names, which the manual pages write in kanji, count as much as loanwords. Which kanji follow which
is counted in the manual pages and in the dictionary's words. The other Japanese packages
(debian-reference-ja, skkdic, edict, message catalogs) are left out, so that the tests can measure
on text the model never saw.
"""

import collections
import glob
import gzip
import io
import math
import unicodedata

from generated_source import write_or_check

MANUALS = "/usr/share/man/ja/**/*"
KANJIDIC = "/usr/share/edict/kanjidic"
DICTIONARY = "/usr/share/mecab/dic/ipadic/*.csv"
# Never seen: what an unassigned position or a byte no encoding uses costs, in quarter bits.
UNASSIGNED = 160
# Kanji outside kanjidic's ranks count as if ranked here.
UNRANKED = 6000
# How much of a kanji's frequency comes from the ranks rather than the manual pages.
RANK_SHARE = 0.1
# How often half-width punctuation is followed by more half-width katakana.
PUNCTUATION_GOES_ON = 0.25
# The kanji whose pairs are counted: rows 16 to 63 and cells 1 to 63 (from 0: rows 15 to 62,
# cells 0 to 62). Their EUC-JP bytes are all 0xA1-0xDF, which Shift_JIS reads as half-width
# katakana; no other kanji are read in place of half-width katakana.
PAIR_ROWS = range(15, 63)
PAIR_CELLS = 63


def manual_texts():
    for path in sorted(glob.glob(MANUALS, recursive=True)):
        if path.endswith(".gz"):
            with gzip.open(path) as f:
                yield f.read().decode("utf-8", "replace")


def jis_index(ch):
    """Row * 94 + cell of a JIS X 0208 character (or of Windows' row 13 and NEC selection)."""
    try:
        euc = ch.encode("euc_jp")
    except UnicodeEncodeError:
        try:
            sjis = ch.encode("cp932")
        except UnicodeEncodeError:
            return None
        if len(sjis) != 2 or not 0x81 <= sjis[0] <= 0xEF:
            return None
        lead, trail = sjis
        row = (lead - 0x81 if lead < 0xA0 else lead - 0xC1) * 2
        if trail >= 0x9F:
            return (row + 1) * 94 + trail - 0x9F
        return row * 94 + trail - 0x40 - (trail > 0x7F)
    if len(euc) != 2 or not (0xA1 <= euc[0] <= 0xFE and 0xA1 <= euc[1] <= 0xFE):
        return None
    return (euc[0] - 0xA1) * 94 + euc[1] - 0xA1


def assigned_positions():
    """Every position that either encoding assigns, with its character."""
    chars = {}
    for lead in list(range(0x81, 0xA0)) + list(range(0xE0, 0xF0)):
        for trail in list(range(0x40, 0x7F)) + list(range(0x80, 0xFD)):
            try:
                ch = bytes([lead, trail]).decode("cp932")
            except UnicodeDecodeError:
                continue
            index = jis_index(ch)
            if index is not None:
                chars.setdefault(index, ch)
    return chars


def dictionary_words():
    """Each word of the dictionary with its reading in katakana ("*" where it has none), once:
    the dictionary lists every inflected form of a verb or adjective, which would count the
    endings of inflections many times over."""
    for path in sorted(glob.glob(DICTIONARY)):
        with open(path, encoding="euc_jp") as f:
            for line in f:
                fields = line.rstrip("\n").split(",")
                if fields[9] in ("*", "基本形"):
                    yield fields[0], fields[11] if len(fields) > 11 else "*"


def pair_position(index):
    """Where a kanji is among those whose pairs are counted, or None."""
    if index is None or index // 94 not in PAIR_ROWS or index % 94 >= PAIR_CELLS:
        return None
    return (index // 94 - PAIR_ROWS.start) * PAIR_CELLS + index % 94


def half_width(run):
    """The half-width form of a katakana run, or None where a character has none."""
    table = {}
    for code in range(0xFF61, 0xFFA0):
        table[unicodedata.normalize("NFKC", chr(code))] = chr(code)
    out = []
    for ch in unicodedata.normalize("NFD", run):
        if ch not in table:
            return None
        out.append(table[ch])
    return "".join(out)


def quarter_bits(p):
    return min(UNASSIGNED - 1, max(0, round(-4 * math.log2(p))))


def main():
    chars = assigned_positions()
    counts = collections.Counter()
    runs = collections.Counter()
    pairs = collections.Counter()
    katakana = set(chr(c) for c in range(0x30A1, 0x30FB)) | {"ー"}
    for text in manual_texts():
        run = []
        before = None
        for ch in text + "\n":
            index = jis_index(ch) if ord(ch) >= 0x80 else None
            if index is not None:
                counts[index] += 1
            position = pair_position(index)
            if before is not None and position is not None:
                pairs[(before, position)] += 1
            before = position
            if ch in katakana:
                run.append(ch)
            elif run:
                runs["".join(run)] += 1
                run = []
    for word, reading in dictionary_words():
        if reading != "*":
            runs[reading] += 1
        positions = [pair_position(jis_index(ch)) for ch in word]
        for before, position in zip(positions, positions[1:]):
            if before is not None and position is not None:
                pairs[(before, position)] += 1
    total = sum(counts.values())

    ranks = {}
    with open(KANJIDIC, encoding="euc_jp", errors="replace") as f:
        for line in f:
            fields = line.split()
            rank = [int(x[1:]) for x in fields[1:] if x.startswith("F") and x[1:].isdigit()]
            index = jis_index(fields[0]) if fields and len(fields[0]) == 1 else None
            if index is not None and index >= 15 * 94:
                ranks[index] = rank[0] if rank else UNRANKED
    rank_total = sum(1 / r for r in ranks.values())

    costs = [UNASSIGNED] * (94 * 94)
    for index in chars:
        p = (counts[index] + 0.5) / (total + 0.5 * len(chars))
        if index in ranks:
            p = (1 - RANK_SHARE) * p + RANK_SHARE * (1 / ranks[index]) / rank_total
        costs[index] = quarter_bits(p)

    # Half-width katakana: the first of a run, each after the one before it, and the end of a run
    # (index 63).
    first = collections.Counter()
    alone = collections.Counter()
    after = collections.defaultdict(collections.Counter)
    for run, count in runs.items():
        hw = half_width(run)
        if hw is None:
            continue
        codes = [ord(c) - 0xFF61 for c in hw] + [63]
        first[codes[0]] += count
        alone[codes[0]] += count if len(codes) == 2 else 0
        for a, b in zip(codes, codes[1:]):
            after[a][b] += count
    first_costs = [quarter_bits((first[c] + 0.5) / (sum(first.values()) + 0.5 * 63))
                   for c in range(63)]
    alone_costs = [quarter_bits((alone[c] + 0.5) / (first[c] + 1)) for c in range(63)]
    # Katakana runs hold no punctuation (｡｢｣､･, 0 to 4): after one, a run mostly ends, and
    # otherwise goes on as a run begins.
    first_total = sum(first.values())
    after_costs = []
    for a in range(63):
        n = sum(after[a].values())
        if a < 5:
            after_costs.append([quarter_bits(PUNCTUATION_GOES_ON * (first[b] + 0.5) /
                                             (first_total + 0.5 * 63)) for b in range(63)] +
                               [quarter_bits(1 - PUNCTUATION_GOES_ON)])
            continue
        after_costs.append([quarter_bits((after[a][b] + 0.5) / (n + 0.5 * 64)) for b in range(64)])

    # Kanji pairs: what a kanji costs after another beyond its own cost, -4 log2 of how much
    # likelier it is there than anywhere. Each kanji's followers are smoothed toward the kanji's
    # own frequencies by as many counts as it has kinds of followers (Witten and Bell), so that a
    # pair never seen costs more after a kanji seen with few followers often.
    pair_count = len(PAIR_ROWS) * PAIR_CELLS
    share = [0.0] * pair_count
    for index in chars:
        position = pair_position(index)
        if position is not None:
            share[position] = 2 ** (-costs[index] / 4)
    share_total = sum(share)
    followers = collections.defaultdict(dict)
    for (before, position), count in pairs.items():
        followers[before][position] = count
    unseen_costs = [0] * pair_count
    pair_begin, pair_next, pair_next_costs = [], [], []
    for before in range(pair_count):
        pair_begin.append(len(pair_next))
        seen = followers.get(before, {})
        if not seen:
            continue
        n = sum(seen.values())
        weight = n / (n + len(seen))
        unseen_costs[before] = quarter_bits(1 - weight)
        for position in sorted(seen):
            likelier = weight * seen[position] / n / (share[position] / share_total) + 1 - weight
            pair_next.append(position)
            pair_next_costs.append(max(-128, min(127, round(-4 * math.log2(likelier)))))
    pair_begin.append(len(pair_next))

    # Unicode code points of every assigned position, for reading UTF-8.
    unicode_pairs = sorted((ord(ch), index) for index, ch in chars.items()
                           if len(ch) == 1 and ord(ch) < 0x10000)

    out = io.StringIO()
    w = out.write
    w("// Generated by make_text_model.py from Debian's manpages-ja, kanjidic and mecab-ipadic; do\n")
    w("// not edit.\n// clang-format off\n")
    w(f"// {total} characters counted, {len(ranks)} kanji ranked, {len(runs)} katakana runs,\n")
    w(f"// {len(pair_next)} kanji pairs.\n\n")
    w('#include "text_model_tables.hpp"\n\n')
    w("const unsigned char JIS_COST[94 * 94] = {\n")
    for row in range(94):
        w("    " + ",".join(str(c) for c in costs[row * 94:(row + 1) * 94]) + ",\n")
    w("};\n\n")
    w("const unsigned char HALF_WIDTH_FIRST_COST[63] = {\n    ")
    w(",".join(str(c) for c in first_costs) + ",\n};\n\n")
    w("const unsigned char HALF_WIDTH_ALONE_COST[63] = {\n    ")
    w(",".join(str(c) for c in alone_costs) + ",\n};\n\n")
    w("const unsigned char HALF_WIDTH_NEXT_COST[63][64] = {\n")
    for row in after_costs:
        w("    {" + ",".join(str(c) for c in row) + "},\n")
    w("};\n\n")
    def array(declaration, values, per_line):
        w(f"{declaration} = {{\n")
        for i in range(0, len(values), per_line):
            w("    " + ",".join(map(str, values[i:i + per_line])) + ",\n")
        w("};\n\n")

    array(f"const std::uint32_t KANJI_PAIR_BEGIN[{pair_count + 1}]", pair_begin, 16)
    array(f"const std::uint16_t KANJI_PAIR_NEXT[{len(pair_next)}]", pair_next, 24)
    array(f"const std::int8_t KANJI_PAIR_NEXT_COST[{len(pair_next)}]", pair_next_costs, 32)
    array(f"const unsigned char KANJI_PAIR_UNSEEN_COST[{pair_count}]", unseen_costs, 32)
    w(f"const UnicodeJis UNICODE_JIS[{len(unicode_pairs)}] = {{\n")
    for i in range(0, len(unicode_pairs), 8):
        w("    " + " ".join(f"{{0x{u:04X},{j}}}," for u, j in unicode_pairs[i:i + 8]) + "\n")
    w("};\n")
    w(f"const std::size_t UNICODE_JIS_COUNT = {len(unicode_pairs)};\n")
    write_or_check(out.getvalue(), "the installed texts")


if __name__ == "__main__":
    main()
