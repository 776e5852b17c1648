"""What only the Windows programs meet."""

import os
import shutil
import subprocess
import tempfile
import unittest

from support import (WINDOWS, REJECTION, INVALID, SHIFT_JIS, EUC_JP, ScratchTest)


@unittest.skipUnless(WINDOWS, "names in UTF-16 and code pages are Windows matters")
class WindowsNames(ScratchTest):
    """Names reach the programs in UTF-16: exactly the file named is converted."""

    C_LOCALE = {"LC_ALL": "C.UTF-8"}

    @classmethod
    def setUpClass(cls):
        # A Japanese locale, in which Wine's ANSI code page is 932, made in a scratch directory.
        cls.locales = tempfile.mkdtemp(prefix="converter-locales-")
        made = subprocess.run(["localedef", "-i", "ja_JP", "-f", "UTF-8",
                               os.path.join(cls.locales, "ja_JP.UTF-8")], capture_output=True)
        if made.returncode not in (0, 1):  # 1: made, with warnings
            raise RuntimeError(made.stderr.decode())
        cls.JAPANESE = {"LOCPATH": cls.locales, "LC_ALL": "ja_JP.UTF-8"}

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.locales, ignore_errors=True)

    def test_name_outside_the_code_page_converts_that_file_not_its_look_alike(self):
        os.mkdir(self.path("sub"))
        for named, look_alike in (("ｔｅｓｔ.txt", "test.txt"), ("sub∕x.txt", "sub/x.txt"),
                                  ("café.txt", "cafe.txt")):
            with self.subTest(named):
                self.make(named, SHIFT_JIS)
                self.make(look_alike, SHIFT_JIS)
                self.assertEqual(self.run_program("tovrek", named, env=self.C_LOCALE), b"")
                self.assertEqual(self.content(named), EUC_JP)
                self.assert_untouched(look_alike, SHIFT_JIS)

    def test_yen_sign_in_code_page_932_names_that_file_not_one_in_another_folder(self):
        os.mkdir(self.path("a"))
        self.make("a¥b.txt", SHIFT_JIS)
        self.make("a/b.txt", SHIFT_JIS)
        self.assertEqual(self.run_program("tovrek", "a¥b.txt", env=self.JAPANESE), b"")
        self.assertEqual(self.content("a¥b.txt"), EUC_JP)
        self.assert_untouched("a/b.txt", SHIFT_JIS)

    def test_messages_hold_the_name_in_the_code_page_or_its_default_character(self):
        for name in ("ｔｅｓｔ.txt", "日本語.txt", "memo.txt"):
            self.make(name, INVALID["tovrek"])
        cases = ((self.C_LOCALE, "ｔｅｓｔ.txt", b"????.txt"), (self.C_LOCALE, "memo.txt", b"memo.txt"),
                 (self.JAPANESE, "日本語.txt", "日本語.txt".encode("cp932")),
                 (self.JAPANESE, "ｔｅｓｔ.txt", "ｔｅｓｔ.txt".encode("cp932")))
        for env, name, shown in cases:
            with self.subTest(name=name, locale=env["LC_ALL"]):
                out = self.run_program("tovrek", name, env=env)
                self.assertEqual(out, REJECTION["tovrek"].replace(b"%s", shown))
                self.assert_untouched(name, INVALID["tovrek"])

    def test_long_name_cut_inside_a_surrogate_pair_is_still_replaced_whole(self):
        # The 64th UTF-16 unit of the name starts a pair: the scratch file's name, cut there,
        # must keep the whole character or none of it.
        name = "a" * 63 + "\U0001F600.txt"
        self.make(name, SHIFT_JIS)
        self.assertEqual(self.run_program("tovrek", name, env=self.C_LOCALE), b"")
        self.assertEqual(self.content(name), EUC_JP)
        self.assert_entries(name)
