"""What the conversion makes of the bytes, and the memory it takes."""

import collections
import gzip
import os
import re
import stat
import subprocess
import unicodedata
import unittest

from support import (PROGRAMS, WINDOWS, SAMPLE, REJECTION, WRITTEN_IN, CONVERTED_ALREADY, SHIFT_JIS, EUC_JP,
                     NOBODY, OLD_NS, posix_only, message, ScratchTest)

# Dictionaries of real Japanese text, in EUC-JP, from Debian's skkdic and edict.
DICTIONARIES = ("/usr/share/skk/SKK-JISYO.L", "/usr/share/edict/edict")
# More real text the programs' model of Japanese was not made from: Debian's reference manual,
# in UTF-8, and kanjidic, in EUC-JP.
REFERENCE = "/usr/share/debian-reference/debian-reference.ja.txt.gz"
KANJIDIC = "/usr/share/edict/kanjidic"


class Conversion(ScratchTest):
    def test_there_and_back_restores_every_byte(self):
        self.make("memo.txt", SHIFT_JIS)
        self.assertEqual(self.run_program("tovrek", "memo.txt"), b"")
        self.assertEqual(self.content("memo.txt"), EUC_JP)
        self.assertEqual(self.run_program("grelmat", "memo.txt"), b"")
        self.assertEqual(self.content("memo.txt"), SHIFT_JIS)
        self.assert_entries("memo.txt")

    def test_shipped_sample_converts_like_an_independent_codec(self):
        with open(SAMPLE, "rb") as f:
            original = f.read()
        text = original.decode("shift_jis")
        self.assertIn("\r\n", text)
        self.make("sample.txt", original)
        self.assertEqual(self.run_program("tovrek", "sample.txt"), b"")
        self.assertEqual(self.content("sample.txt"), text.replace("\r\n", "\n").encode("euc_jp"))

    def test_unchecked_lone_lead_pairs_with_a_zero_byte(self):
        for program, lone, expected in (("tovrek", b"\x82", b"\xa3\x61"),
                                         ("grelmat", b"\xa4", b"\x82\x7e")):
            with self.subTest(program):
                self.make("lone.txt", lone)
                # A4 alone is a half-width katakana in Shift_JIS.
                refusal = REJECTION if program == "tovrek" else CONVERTED_ALREADY
                self.assertEqual(self.run_program(program, "lone.txt"),
                                 message(refusal[program], "lone.txt"))
                self.assertEqual(self.run_program(program, "-n", "lone.txt"), b"")
                self.assertEqual(self.content("lone.txt"), expected)

    def test_lf_after_other_bytes_after_a_cr_is_not_lost(self):
        # Regression: a CR stayed in force until the next LF, which was then dropped.
        cases = (("tovrek", b"a\rb\nc\n", b"a\nb\nc\n"),
                 ("tovrek", b"\r\x82\xa0\n\r\n\r\r\n", b"\n\xa4\xa2\n\n\n\n"),
                 ("grelmat", b"a\rb\nc\n", b"a\r\nb\r\nc\r\n"),
                 ("grelmat", b"\r\x8e\xb1\n\r\n\r", b"\r\n\xb1\r\n\r\n\r\n"))
        for program, before, after in cases:
            with self.subTest(program=program, before=before):
                self.make("mixed.txt", before)
                self.assertEqual(self.run_program(program, "mixed.txt"), b"")
                self.assertEqual(self.content("mixed.txt"), after)

    def test_text_of_another_encoding_is_refused_unless_unchecked(self):
        bom = b"\xef\xbb\xbfhello\r\n"
        utf16 = "a\r\n".encode("utf-16-le")
        cases = (("tovrek", EUC_JP, "EUC-JP"), ("tovrek", bom, "UTF-8"),
                 ("tovrek", "カタカナ\r\n".encode("utf-8"), "UTF-8"),
                 ("grelmat", SHIFT_JIS, "ShiftJIS"), ("grelmat", bom.replace(b"\r", b""), "UTF-8"),
                 ("grelmat", "\u00e9t\u00e9\n".encode("utf-8"), "UTF-8"),
                 # Regression: one line end of UTF-16 without a byte order mark became two.
                 ("tovrek", utf16, "UTF-16"), ("grelmat", utf16, "UTF-16"),
                 ("grelmat", "\ufeffあ".encode("utf-16-le"), "UTF-16"),
                 ("tovrek", "\ufeffあ\r\n".encode("utf-16-be"), "UTF-16"),
                 # NUL bytes that are not UTF-16: binary.
                 ("tovrek", b"\x00\x01\x02\x82\xa0", None), ("grelmat", b"\x00\x00ab\n", None))
        for program, text, written_in in cases:
            with self.subTest(program=program, text=text):
                self.make("memo.txt", text)
                refusal = WRITTEN_IN[program][written_in] if written_in else REJECTION[program]
                self.assertEqual(self.run_program(program, "memo.txt"),
                                 message(refusal, "memo.txt"))
                self.assert_untouched("memo.txt", text)
                self.assertEqual(self.run_program(program, "-n", "memo.txt"), b"")
                self.assertNotEqual(self.content("memo.txt"), text)

    def test_text_that_reads_as_another_encoding_too_is_decided_by_its_likelier_reading(self):
        # Regressions: genuine text that passed the other encoding's byte ranges was refused, and
        # grelmat converted its own output a second time (ﾃﾞﾌｫﾙﾄ became 筑湊拂).
        texts = ["FanFold US 式", "ﾃﾞﾌｫﾙﾄ: NO", "車", "表10.14 List of other version control system tools",
                 "両立", "発熱", "Delete文", "ｱｲｳ", "ｱﾉﾚｷｼｱ", "ｴｽｴﾇｴｰ", "ｶﾜﾋﾒﾏｽ", "ｸﾞﾂｸﾞﾂ", "名古屋駅"]
        for text in texts:
            for program, source, target in (("tovrek", "shift_jis", "euc_jp"),
                                            ("grelmat", "euc_jp", "shift_jis")):
                with self.subTest(program=program, text=text):
                    line_end = "\r\n" if source == "shift_jis" else "\n"
                    other_end = "\n" if source == "shift_jis" else "\r\n"
                    self.make("memo.txt", (text + line_end).encode(source))
                    self.assertEqual(self.run_program(program, "memo.txt"), b"")
                    converted = (text + other_end).encode(target)
                    self.assertEqual(self.content("memo.txt"), converted)
                    os.utime(self.path("memo.txt"), ns=(OLD_NS, OLD_NS))
                    self.assertEqual(self.run_program(program, "memo.txt"),
                                     message(CONVERTED_ALREADY[program], "memo.txt"))
                    self.assert_untouched("memo.txt", converted)

    def test_a_second_run_refuses_every_file_the_first_converted(self):
        # Half-width katakana and pairs of the second level alone: what EUC-JP could pass as.
        texts = {"tovrek": [SHIFT_JIS, "ｱｲｳ\r\n".encode("shift_jis"), "漢字\r\n".encode("shift_jis")],
                 "grelmat": [EUC_JP, "ｱｲｳ\n".encode("euc_jp")]}
        for program, contents in texts.items():
            for number, text in enumerate(contents):
                with self.subTest(program=program, text=number):
                    self.make("memo.txt", text)
                    self.assertEqual(self.run_program(program, "memo.txt"), b"")
                    converted = self.content("memo.txt")
                    os.utime(self.path("memo.txt"), ns=(OLD_NS, OLD_NS))
                    self.assertEqual(self.run_program(program, "memo.txt"),
                                     message(CONVERTED_ALREADY[program], "memo.txt"))
                    self.assert_untouched("memo.txt", converted)

    @posix_only("permission bits")
    def test_permission_bits_are_kept(self):
        for mode in (0o640, 0o604, 0o755):
            with self.subTest(mode=oct(mode)):
                self.make("memo.txt", SHIFT_JIS, mode=mode)
                self.assertEqual(self.run_program("tovrek", "memo.txt"), b"")
                self.assertEqual(stat.S_IMODE(os.stat(self.path("memo.txt")).st_mode), mode)
                self.assert_entries("memo.txt")

    @posix_only("owners and groups")
    @unittest.skipUnless(os.geteuid() == 0, "only root can give a file to another user")
    def test_owner_and_group_are_kept(self):
        path = self.make("memo.txt", EUC_JP)
        os.chown(path, NOBODY, NOBODY)
        self.assertEqual(self.run_program("grelmat", "memo.txt"), b"")
        st = os.stat(path)
        self.assertEqual((st.st_uid, st.st_gid), (NOBODY, NOBODY))
        self.assertEqual(self.content("memo.txt"), SHIFT_JIS)


def windows_codes(first, last):
    """The two-byte codes of Windows' Shift_JIS from first to last, trails 40-7E and 80-FC."""
    return [bytes([lead, trail]) for lead in range(first[0], last[0] + 1)
            for trail in [*range(0x40, 0x7F), *range(0x80, 0xFD)]
            if first <= bytes([lead, trail]) <= last]


def iconv(data, source, target):
    return subprocess.run(["iconv", "-f", source, "-t", target], input=data, check=True,
                          capture_output=True).stdout


class IbmExtensions(ScratchTest):
    """-w: the IBM extensions of Windows' Shift_JIS, held to glibc's WINDOWS-31J and EUC-JP-MS."""
    IBM = windows_codes(b"\xfa\x40", b"\xfc\x4b")
    # Characters EUC-JP-MS has no three-byte form for: forms no reader assigns, so that they
    # come back as the code they were read as.
    SPARE = {b"\xfa\x54": b"\x8f\xf3\xf1", b"\xfa\x5b": b"\x8f\xf3\xf2"}

    def test_every_extension_row_13_and_the_nec_selection_come_back_byte_for_byte(self):
        others = windows_codes(b"\x87\x40", b"\x87\x9c") + windows_codes(b"\xed\x40", b"\xee\xfc")
        self.assertEqual(len(self.IBM), 388)
        original = b"".join(code + b"\r\n" for code in self.IBM + others)
        self.make("names.txt", original)
        self.assertEqual(self.run_program("tovrek", "-w", "names.txt"), b"")
        lines = self.content("names.txt").split(b"\n")
        as_glibc = 0
        for code, form in zip(self.IBM, lines):
            with self.subTest(code=code.hex()):
                glibc = iconv(code, "CP932", "EUC-JP-MS")
                if len(glibc) == 3:
                    self.assertEqual(form, glibc)
                    as_glibc += 1
                elif code in self.SPARE:
                    self.assertEqual(form, self.SPARE[code])
                else:
                    # glibc writes the JIS X 0208 form; the form written reads as the same.
                    self.assertEqual(len(form), 3)
                    self.assertEqual(iconv(form, "EUC-JP-MS", "UTF-8"), iconv(code, "CP932", "UTF-8"))
        self.assertEqual(as_glibc, 373)
        self.assertEqual(self.run_program("grelmat", "-w", "names.txt"), b"")
        self.assertEqual(self.content("names.txt"), original)

    def test_what_windows_has_no_code_for_is_refused_and_w_covers_the_names_after_it(self):
        plain, alike = REJECTION, CONVERTED_ALREADY
        cases = (("tovrek", b"\xfb\xfc\x8b\xb4\r\n", (), plain),  # 髙橋: without -w, refused
                 ("tovrek", b"\xf0\x40\r\n", ("-w",), plain),  # the user-defined area
                 ("tovrek", b"\xfc\x4c\r\n", ("-w",), plain),  # past the last extension
                 ("grelmat", b"\x8f\xf4\xfb\n", (), plain),
                 # JIS X 0212, which Windows lacks, and a form cut short: Shift_JIS bytes too.
                 ("grelmat", b"\x8f\xb0\xa1\n", ("-w",), alike),
                 ("grelmat", b"\x8f\xf3", ("-w",), alike))
        for program, text, switches, refusal in cases:
            with self.subTest(program=program, text=text):
                self.make("memo.txt", text)
                self.assertEqual(self.run_program(program, *switches, "memo.txt"),
                                 message(refusal[program], "memo.txt"))
                self.assert_untouched("memo.txt", text)
        self.make("before.txt", b"\xfb\xfc\x8b\xb4\r\n")
        self.make("after.txt", b"\xfb\xfc\x8b\xb4\r\n")
        self.assertEqual(self.run_program("tovrek", "before.txt", "-w", "after.txt"),
                         message(REJECTION["tovrek"], "before.txt"))
        self.assertEqual(self.content("after.txt"), b"\x8f\xf4\xfb\xb6\xb6\n")
        # Run again with -w, the output is known for what it is.
        os.utime(self.path("after.txt"), ns=(OLD_NS, OLD_NS))
        self.assertEqual(self.run_program("tovrek", "-w", "after.txt"),
                         message(CONVERTED_ALREADY["tovrek"], "after.txt"))
        self.assert_untouched("after.txt", b"\x8f\xf4\xfb\xb6\xb6\n")


@posix_only("/usr/bin/time")
class Memory(ScratchTest):
    LIMIT_KB = 8 * 1024

    @unittest.skipIf(os.environ.get("SANITIZED"), "the sanitizers' shadow memory is resident too")
    def test_largest_file_is_converted_in_under_8_mib_resident(self):
        for program, text in (("tovrek", SHIFT_JIS), ("grelmat", EUC_JP)):
            with self.subTest(program):
                content = (text * (0xFFFFF // len(text) + 1))[:0xFFFFF]
                self.make("largest.txt", content)
                result = subprocess.run(["/usr/bin/time", "-v", PROGRAMS[program], "-n",
                                         "largest.txt"], cwd=self.dir, capture_output=True,
                                        timeout=30)
                self.assertEqual((result.returncode, result.stdout), (0, b""))
                peak = re.search(rb"Maximum resident set size \(kbytes\): (\d+)", result.stderr)
                self.assertIsNotNone(peak, result.stderr)
                self.assertLess(int(peak.group(1)), self.LIMIT_KB)
                self.assertNotEqual(self.content("largest.txt"), content)


@unittest.skipIf(os.environ.get("TARGET_SYSTEM") == "Windows",
                 "the check is the same code there, and thousands of files under an emulator "
                 "take minutes")
class Corpus(ScratchTest):
    """Real text, split into files of every size from one line up: none may be refused, and every
    file that holds Japanese text must be refused once it is converted."""

    def files(self):
        present = [d for d in DICTIONARIES if os.path.exists(d)]
        if not present and not os.environ.get("REQUIRE_ALL_TESTS"):
            self.skipTest("needs Debian's skkdic or edict")
        self.assertEqual(len(present), len(DICTIONARIES), "skkdic and edict are installed in CI")
        lines = []
        for dictionary in present:
            with open(dictionary, "rb") as f:
                for raw in f:
                    try:
                        lines.append(raw.decode("euc_jp").rstrip("\n"))
                    except UnicodeDecodeError:
                        pass
        # File sizes follow the Fibonacci numbers of lines, from 1 to 610, over and over.
        sizes, files, start = [1, 2], [], 0
        while sizes[-1] < 610:
            sizes.append(sizes[-1] + sizes[-2])
        while start < len(lines):
            count = sizes[len(files) % len(sizes)]
            chunk = lines[start:start + count]
            start += count
            try:
                files.append("".join(line + "\r\n" for line in chunk).encode("shift_jis"))
            except UnicodeEncodeError:
                pass
        return files

    def test_no_real_text_is_refused_and_none_is_converted_twice(self):
        texts = self.files()
        os.mkdir(self.path("corpus"))
        names = [f"corpus/{i:05}.txt" for i in range(len(texts))]
        for name, text in zip(names, texts):
            self.make(name, text)
        japanese = sum(1 for text in texts if max(text) >= 0x80)
        refused = []
        for program in ("tovrek", "tovrek", "grelmat"):
            out = self.run_program(program, *names, timeout=300)
            refused.append(out.count(b"\n"))
        print(f"\n{len(texts)} files, {japanese} with Japanese text; refused by tovrek, "
              f"tovrek again, grelmat: {refused}")
        self.assertEqual(refused, [0, japanese, 0])
        for name, text in zip(names, texts):
            self.assertEqual(self.content(name), text)


class ShortTexts(ScratchTest):
    """Short real texts, each alone in a file as many real files are, decided as a reader would: by
    length of the text in its source encoding, how many of them each program refuses, and how many
    of its own outputs it converts a second time."""

    # The share of each length class that may be refused, or converted twice, at most. Where
    # they fail it is half-width katakana words read as pairs of kanji, or the other way round.
    BOUNDS = (("up to 4 bytes", 4, 0.10), ("5-10 bytes", 10, 0.01),
              ("11-30 bytes", 30, 0.0), ("31 bytes and more", None, 0.0))
    # Under Wine every run starts slowly, and a run converts several times slower.
    PER_SOURCE = 150 if WINDOWS else 1500

    @staticmethod
    def lines(path, encoding):
        with (gzip.open if path.endswith(".gz") else open)(path, "rb") as f:
            for raw in f:
                try:
                    line = raw.decode(encoding).rstrip("\n")
                except UnicodeDecodeError:
                    continue
                if line.strip() and not line.startswith(("#", ";")):
                    yield line

    def texts(self):
        sources = (*DICTIONARIES, REFERENCE, KANJIDIC)
        present = [s for s in sources if os.path.exists(s)]
        if not present and not os.environ.get("REQUIRE_ALL_TESTS"):
            self.skipTest("needs Debian's skkdic, edict, kanjidic and debian-reference-ja")
        self.assertEqual(present, list(sources), "all are installed in CI")
        skk, edict = (list(self.lines(d, "euc_jp")) for d in DICTIONARIES)
        groups = [skk, [line.split("/")[1] for line in skk if "/" in line], edict,
                  [line.split(" ")[0] for line in edict], list(self.lines(REFERENCE, "utf-8")),
                  list(self.lines(KANJIDIC, "euc_jp"))]
        # Half-width forms of real katakana words, as Windows programs write them.
        half = {unicodedata.normalize("NFKC", chr(c)): chr(c) for c in range(0xFF61, 0xFFA0)}
        words = dict.fromkeys(w for line in edict for w in re.findall("[\u30a1-\u30fa\u30fc]{2,}", line))
        groups.append([w for w in ("".join(half.get(c, "?") for c in unicodedata.normalize("NFD", w))
                                   for w in words) if "?" not in w])
        texts = []
        for group in groups:
            texts += group[::max(1, len(group) // self.PER_SOURCE)][:self.PER_SOURCE]
        return texts

    def run_twice(self, program, contents):
        """Which files the first run refused, which the second converted again, and what the
        first wrote."""
        names = [f"{program}/{i:05}.txt" for i in range(len(contents))]
        os.mkdir(self.path(program))
        for name, content in zip(names, contents):
            self.make(name, content)
        # In batches: a Windows command line holds at most 32,767 characters.
        def run():
            return b"".join(self.run_program(program, *names[i:i + 1000], timeout=600)
                            for i in range(0, len(names), 1000))
        first = run()
        outputs = [self.content(name) for name in names]
        second = run()
        refused = [f": {name}\n".encode() in first for name in names]
        twice = [not no and f": {name}\n".encode() not in second
                 for name, no in zip(names, refused)]
        return refused, twice, outputs

    def test_genuine_text_is_converted_and_converted_text_is_refused(self):
        cases = []
        for text in self.texts():
            try:
                cases.append((text.encode("shift_jis"), text.encode("euc_jp")))
            except UnicodeEncodeError:
                continue
        cases = [case for case in cases if max(case[0]) >= 0x80]
        table, failures = collections.defaultdict(lambda: [0, 0, 0]), []
        for program, source in (("tovrek", 0), ("grelmat", 1)):
            refused, twice, outputs = self.run_twice(program, [case[source] for case in cases])
            for case, no, again, output in zip(cases, refused, twice, outputs):
                size = len(case[source])
                bound = next(b for b in self.BOUNDS if b[1] is None or size <= b[1])
                counts = table[(program, bound[0])]
                counts[0] += 1
                counts[1] += no
                counts[2] += again
                if not no:
                    # What it wrote is exactly the text in the other encoding.
                    self.assertEqual(output, case[1 - source])
        lines = [f"{'length':18} {'texts':>6} {'refused':>8} {'converted twice':>16}"]
        for program in ("tovrek", "grelmat"):
            for name, _, share in self.BOUNDS:
                texts, no, again = table[(program, name)]
                lines.append(f"{program + ' ' + name:26} {texts:>6} {no:>8} {again:>16}")
                for count in (no, again):
                    if count > share * texts:
                        failures.append(f"{program}, {name}: {count} of {texts}")
        print("\n" + "\n".join(lines))
        self.assertEqual(failures, [])
