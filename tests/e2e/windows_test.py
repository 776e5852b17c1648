"""What only the Windows programs meet."""

import os
import shutil
import subprocess
import tempfile
import time
import unittest

from support import (WINDOWS, RUNNER, TIME_SCALE, REJECTION, INVALID, SHIFT_JIS, EUC_JP, Paused,
                     ScratchTest, tool)


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

    def test_a_path_longer_than_max_path_converts_in_every_form(self):
        # 352 characters: three folders of 100, a name of 48.
        folders = os.path.join(*["d" * 100] * 3)
        os.makedirs(self.path(folders))
        relative = os.path.join(folders, "f" * 44 + ".txt")
        absolute = "Z:" + self.path(relative).replace("/", "\\")
        # Relative, drive-relative (the current folder of drive Z:), and the two device forms.
        for typed in (relative.replace("/", "\\"), "Z:" + relative.replace("/", "\\"),
                      "\\\\?\\" + absolute, "\\\\.\\" + absolute):
            with self.subTest(typed=typed[:12]):
                self.make(relative, SHIFT_JIS)
                self.assertEqual(self.run_program("tovrek", typed), b"")
                self.assertEqual(self.content(relative), EUC_JP)
        # Through a hard link, rewritten in place with a backup beside it.
        self.make(relative, SHIFT_JIS)
        os.link(self.path(relative), self.path("link.txt"))
        self.assertEqual(self.run_program("tovrek", relative.replace("/", "\\")), b"")
        self.assertEqual(self.content("link.txt"), EUC_JP)
        self.assertEqual(sorted(os.listdir(self.path(folders))), ["f" * 44 + ".txt"])

    def test_control_characters_in_names_are_printed_escaped(self):
        # A line feed would let a name forge a message of its own; an escape sequence would
        # clear a console that interprets it. No Windows name holds them, so none opens.
        for name, shown in (("x\nFailed to write file: important.txt",
                             b"x\\x0aFailed to write file: important.txt"),
                            ("esc\x1b[2J.txt", b"esc\\x1b[2J.txt"), ("cr\r.txt", b"cr\\x0d.txt")):
            with self.subTest(shown=shown):
                self.assertEqual(self.run_program("tovrek", name, env=self.C_LOCALE),
                                 b"Failed to open file: " + shown + b"\n")

    def test_long_name_cut_inside_a_surrogate_pair_is_still_replaced_whole(self):
        # The 64th UTF-16 unit of the name starts a pair: the scratch file's name, cut there,
        # must keep the whole character or none of it.
        name = "a" * 63 + "\U0001F600.txt"
        self.make(name, SHIFT_JIS)
        self.assertEqual(self.run_program("tovrek", name, env=self.C_LOCALE), b"")
        self.assertEqual(self.content(name), EUC_JP)
        self.assert_entries(name)


@unittest.skipUnless(WINDOWS, "other Windows programs and Wine's files")
class WindowsFiles(Paused):
    """Files under Wine keep their Unix permissions, and other programs hold, lock, rename or
    write them while they are converted."""

    def neighbour(self, what, name, seconds):
        """Starts the helper program holding what it holds on the file, once it holds it."""
        process = subprocess.Popen([*RUNNER, os.environ["NEIGHBOUR"], what, self.path(name),
                                    str(seconds)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   cwd=self.dir)
        self.addCleanup(process.wait)
        self.addCleanup(process.kill)
        self.assertEqual(process.stdout.readline().strip(), b"ready")
        return process

    # Old content of two pieces: the rewrite in place writes it in two writes.
    TWO_PIECES = b"line\r\n" * 20000

    def convert_with_writes_injected(self, content, inject, mode=0o644, switches=()):
        """Converts memo.txt, which a second link makes a rewrite in place, with strace's inject
        on the program's writes (the first being the backup's)."""
        self.make("memo.txt", content, mode=mode)
        os.link(self.path("memo.txt"), self.path("link.txt"))
        return subprocess.run(["strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=pwrite64",
                               "-e", f"inject=pwrite64:{inject}", *RUNNER, os.environ["TOVREK"],
                               *switches, "memo.txt"], cwd=self.dir, capture_output=True,
                              timeout=60 * TIME_SCALE)

    def opened_by(self, program, name):
        """Whether a process running the program has the file open now."""
        target = os.path.realpath(self.path(name))
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    if program.encode() not in f.read():
                        continue
                if any(os.readlink(f"/proc/{pid}/fd/{fd}") == target
                       for fd in os.listdir(f"/proc/{pid}/fd")):
                    return True
            except OSError:
                pass
        return False

    def test_unix_permissions_stay_as_they_were(self):
        for mode in (0o600, 0o640, 0o666, 0o444 | 0o200):
            with self.subTest(mode=oct(mode)):
                path = self.make("memo.txt", SHIFT_JIS, mode=mode)
                self.assertEqual(self.run_program("tovrek", "memo.txt"), b"")
                self.assertEqual(self.content("memo.txt"), EUC_JP)
                self.assertEqual(os.stat(path).st_mode & 0o7777, mode)
                self.assert_entries("memo.txt")

    def test_a_file_another_program_has_open_is_converted(self):
        self.make("memo.txt", SHIFT_JIS)
        self.neighbour("open", "memo.txt", 60 * TIME_SCALE)
        self.assertEqual(self.run_program("tovrek", "memo.txt"), b"")
        self.assertEqual(self.content("memo.txt"), EUC_JP)
        self.assert_entries("memo.txt")

    @tool("strace")
    def test_a_write_refused_before_its_first_byte_leaves_no_backup(self):
        # Every write after the backup's fails: the rewrite in place and, had anything been
        # written, the putting back of the old content.
        result = self.convert_with_writes_injected(SHIFT_JIS, "error=EIO:when=2+")
        self.assertEqual(result.stdout, b"Failed to write file: memo.txt\r\n")
        self.assert_untouched("memo.txt", SHIFT_JIS)
        self.assert_entries("memo.txt", "link.txt")

    @tool("strace")
    def test_v_says_which_step_failed_and_why(self):
        result = self.convert_with_writes_injected(SHIFT_JIS, "error=EIO:when=2+", switches=["-v"])
        lines = result.stdout.split(b"\r\n")
        self.assertEqual(lines[0], b"Failed to write file: memo.txt", result.stdout)
        self.assertRegex(lines[1], rb"^  writing the file: \S")
        self.make("held.txt", SHIFT_JIS)
        self.neighbour("lock-conversion", "held.txt", 60 * TIME_SCALE)
        self.assertEqual(self.run_program("tovrek", "-v", "held.txt"),
                         b"Failed to open file: held.txt\n"
                         b"  another program held the file's lock for 5 seconds\n")

    def test_a_name_given_to_another_file_during_the_wait_for_the_lock_converts_that_file(self):
        self.make("memo.txt", SHIFT_JIS)
        self.make("other.txt", SHIFT_JIS + b"other\r\n")
        holder = self.neighbour("lock-conversion", "memo.txt", 60 * TIME_SCALE)
        program = subprocess.Popen([*RUNNER, os.environ["TOVREK"], "memo.txt"], cwd=self.dir,
                                   stdout=subprocess.PIPE)
        self.addCleanup(program.kill)
        deadline = time.monotonic() + 30 * TIME_SCALE
        while not self.opened_by("tovrek", "memo.txt"):
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.05)
        os.rename(self.path("other.txt"), self.path("memo.txt"))
        holder.stdin.close()
        out, _ = program.communicate(timeout=60 * TIME_SCALE)
        self.assertEqual(out, b"")
        self.assertEqual(self.content("memo.txt"), EUC_JP + b"other\n")
        self.assert_entries("memo.txt")

    @tool("strace")
    def test_a_kept_backup_is_named_as_typed_and_only_its_owner_may_read_it(self):
        # Two pieces: the first is written, the second and every putting back fail.
        result = self.convert_with_writes_injected(self.TWO_PIECES, "error=EIO:when=3+",
                                                   mode=0o600)
        lines = result.stdout.split(b"\r\n")
        self.assertEqual(lines[0], b"Failed to write file: memo.txt", result.stdout)
        kept = lines[1].decode()
        self.assertRegex(kept, r"^Old content kept in: Z:\\")
        backup = kept[len("Old content kept in: Z:"):].replace("\\", "/")
        with open(backup, "rb") as f:
            self.assertEqual(f.read(), self.TWO_PIECES)
        self.assertEqual(os.stat(backup).st_mode & 0o777, 0o600)

    @tool("strace")
    def test_a_kill_while_the_backup_is_written_leaves_no_short_backup(self):
        # Regression: the backup was created under its name and then written, so a program ended
        # meanwhile (Task Manager, a file-size limit) left a short one, which a user might restore.
        self.convert_with_writes_injected(self.TWO_PIECES, "signal=KILL:when=1")
        self.assert_untouched("memo.txt", self.TWO_PIECES)
        # The system closes a killed program's handles, and with the last one the backup goes.
        deadline = time.monotonic() + 10 * TIME_SCALE
        while len(os.listdir(self.dir)) > 2 and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assert_entries("memo.txt", "link.txt")

    @tool("strace")
    def test_ctrl_c_during_a_failed_undo_waits_until_the_backup_is_announced(self):
        # Regression: the console handler let the program end as soon as the undo was over,
        # before it said where the old content was kept. Two pieces: the first is written, the
        # second and every putting back fail, and Ctrl+C (SIGINT, to Wine) comes during the undo.
        result = self.convert_with_writes_injected(self.TWO_PIECES, "error=EIO:signal=INT:when=3+")
        lines = result.stdout.split(b"\r\n")
        self.assertEqual(lines[0], b"Failed to write file: memo.txt", result.stdout)
        self.assertRegex(lines[1].decode(), r"^Old content kept in: Z:\\")

    @tool("strace")
    def test_a_write_while_the_backup_goes_to_disk_is_kept(self):
        # Held at the flush of the backup of a rewrite in place, the file is written by a program
        # that Windows share modes do not reach.
        self.make("memo.txt", SHIFT_JIS)
        os.link(self.path("memo.txt"), self.path("link.txt"))
        process = self.start_paused("tovrek", "memo.txt", call="fsync", seconds=2 * TIME_SCALE)
        with open(self.path("memo.txt"), "ab") as f:
            f.write(b"theirs\r\n")
        self.assertEqual(self.finish(process), b"Failed to write file: memo.txt\r\n")
        self.assertEqual(self.content("memo.txt"), SHIFT_JIS + b"theirs\r\n")
        self.assert_entries("memo.txt", "link.txt")
