"""What the conversion makes of the bytes, and the memory it takes."""

import os
import re
import stat
import subprocess
import unittest

from support import (PROGRAMS, SAMPLE, REJECTION, SHIFT_JIS, EUC_JP, NOBODY, OLD_NS, posix_only,
                     message, ScratchTest)

# Dictionaries of real Japanese text, in EUC-JP, from Debian's skkdic and edict.
DICTIONARIES = ("/usr/share/skk/SKK-JISYO.L", "/usr/share/edict/edict")


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
                self.assertEqual(self.run_program(program, "lone.txt"),
                                 message(REJECTION[program], "lone.txt"))
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
        utf8 = "カタカナ\r\n".encode("utf-8")
        cases = (("tovrek", "converted", EUC_JP), ("tovrek", "bom", bom), ("tovrek", "utf8", utf8),
                 ("grelmat", "bom", bom.replace(b"\r", b"")),
                 ("grelmat", "utf8", "\u00e9t\u00e9\n".encode("utf-8")))
        for program, kind, text in cases:
            with self.subTest(program=program, kind=kind):
                self.make("memo.txt", text)
                self.assertEqual(self.run_program(program, "memo.txt"),
                                 message(REJECTION[program], "memo.txt"))
                self.assert_untouched("memo.txt", text)
                self.assertEqual(self.run_program(program, "-n", "memo.txt"), b"")
                self.assertNotEqual(self.content("memo.txt"), text)

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
                                     message(REJECTION[program], "memo.txt"))
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
