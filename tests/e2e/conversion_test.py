"""What the conversion makes of the bytes, and the memory it takes."""

import os
import re
import stat
import subprocess
import unittest

from support import (PROGRAMS, SAMPLE, REJECTION, SHIFT_JIS, EUC_JP, NOBODY, posix_only, message,
                     ScratchTest)


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
