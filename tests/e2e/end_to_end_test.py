"""Runs the built programs on scratch files and checks the directory afterwards.

The programs come from the TOVREK and GRELMAT environment variables. Every run must end with
exit status 0 and print nothing on standard error, whatever happens to the files.

For Windows programs, TARGET_SYSTEM is "Windows" and PROGRAM_RUNNER names the emulator that runs
them. Their messages end in CR LF; the tests that need what only POSIX systems have are skipped.
"""

import fcntl
import glob
import mmap
import os
import re
import resource
import shutil
import signal
import socket
import stat
import subprocess
import tempfile
import time
import unittest

PROGRAMS = {"tovrek": os.environ["TOVREK"], "grelmat": os.environ["GRELMAT"]}
WINDOWS = os.environ.get("TARGET_SYSTEM") == "Windows"
RUNNER = [os.environ["PROGRAM_RUNNER"]] if os.environ.get("PROGRAM_RUNNER") else []
# Time limits grow by this factor where the programs run on an emulated processor.
TIME_SCALE = int(os.environ.get("TIME_SCALE", "1"))
SAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "samples",
                      "memo-shift_jis.txt")

USAGE = {
    name: (f"Usage: {name} [ -n | -c ] <filename> [ <filename>... ]\n"
           "    -n   Do NOT check encoding\n"
           "    -c   Check encoding (Default)\n").encode()
    for name in PROGRAMS
}
REJECTION = {
    "tovrek": b"File is NOT written in ShiftJIS: %s\n",
    "grelmat": b"File is NOT written in EUC-JP: %s\n",
}
# Bytes that fail each program's check: a lead with no valid trail.
INVALID = {"tovrek": b"\x80\x40", "grelmat": b"\x82\xa0"}
CONVERTED_INVALID = {"tovrek": b"\x9f\xa1", "grelmat": b"\x71\x9e"}

TEXT = "日本語のテキスト。ｶﾀｶﾅ and ASCII\r\n二行目\r\n"
SHIFT_JIS = TEXT.encode("shift_jis")
EUC_JP = TEXT.replace("\r\n", "\n").encode("euc_jp")

OLD_NS = 1_000_000_000 * 1_000_000_000  # 2001-09-09, far from any time a run could set
NOBODY = 65534


def posix_only(what):
    return unittest.skipIf(WINDOWS, f"{what}: not something the Windows programs meet")


def tool(name):
    return unittest.skipUnless(shutil.which(name), f"needs {name}")


def message(template, name):
    return template.replace(b"%s", os.fsencode(name))


_programs_for_everyone = {}


def program_for_everyone(program):
    """A copy of the program that another user can reach whatever the build tree's permissions."""
    if program not in _programs_for_everyone:
        directory = tempfile.mkdtemp(prefix="converter-programs-")
        os.chmod(directory, 0o755)
        copy = shutil.copy(PROGRAMS[program], directory)
        os.chmod(copy, 0o755)
        _programs_for_everyone[program] = copy
    return _programs_for_everyone[program]


def limited(limits):
    """What a child runs before the program: apply the resource limits.

    SIGXFSZ goes back to its default action, which ends the process, as a shell leaves it: the
    programs must make a write past RLIMIT_FSIZE fail instead of dying half-way. The emulator of
    the Windows programs is a POSIX program that does not expect the signal, so it is ignored
    for it.
    """
    def apply():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN if WINDOWS else signal.SIG_DFL)
        for limit, value in limits.items():
            resource.setrlimit(limit, (value, value))
    return apply


def tearDownModule():
    for copy in _programs_for_everyone.values():
        shutil.rmtree(os.path.dirname(copy), ignore_errors=True)


class ScratchTest(unittest.TestCase):
    """A scratch directory per test, with helpers to make files and run the programs in it."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="converter-e2e-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def make(self, name, content, mode=None):
        path = self.path(name)
        with open(path, "wb") as f:
            f.write(content)
        if mode is not None:
            os.chmod(path, mode)
        os.utime(path, ns=(OLD_NS, OLD_NS))
        return path

    def run_program(self, program, *args, user=None, limits=None, timeout=30, env=None):
        """Runs a program in the scratch directory, as another user or under resource limits."""
        executable = PROGRAMS[program] if user is None else program_for_everyone(program)
        result = subprocess.run(
            [*RUNNER, executable, *args], cwd=self.dir, capture_output=True, timeout=timeout * TIME_SCALE,
            preexec_fn=limited(limits or {}), restore_signals=False,
            user=user, group=user, extra_groups=[] if user is not None else None,
            env=None if env is None else {**os.environ, **env})
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stderr, b"")
        if not WINDOWS:
            return result.stdout
        # Standard output is a text stream there: every line of a message ends in CR LF.
        self.assertIsNone(re.search(rb"(?<!\r)\n", result.stdout), result.stdout)
        return result.stdout.replace(b"\r\n", b"\n")

    def content(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def assert_untouched(self, name, content):
        self.assertEqual(self.content(name), content)
        self.assertEqual(os.stat(self.path(name)).st_mtime_ns, OLD_NS)

    def assert_entries(self, *names, directory=None):
        self.assertEqual(sorted(os.listdir(directory or self.dir)), sorted(names))


class CommandLine(ScratchTest):
    def test_no_arguments_prints_the_usage_text(self):
        for program in PROGRAMS:
            with self.subTest(program):
                self.assertEqual(self.run_program(program), USAGE[program])

    @unittest.skipUnless(WINDOWS, "only Windows turns line ends of messages into CR LF")
    def test_usage_lines_end_in_cr_lf_on_windows(self):
        result = subprocess.run([*RUNNER, PROGRAMS["grelmat"]], capture_output=True, timeout=30 * TIME_SCALE)
        self.assertEqual(result.stdout, USAGE["grelmat"].replace(b"\n", b"\r\n"))

    def test_question_mark_prints_usage_and_stops_after_earlier_names(self):
        self.make("a.txt", SHIFT_JIS)
        self.make("b.txt", SHIFT_JIS)
        self.assertEqual(self.run_program("tovrek", "a.txt", "-?", "b.txt"), USAGE["tovrek"])
        self.assertEqual(self.content("a.txt"), EUC_JP)
        self.assert_untouched("b.txt", SHIFT_JIS)

    @unittest.skipUnless(WINDOWS, "/? is how a Windows console program is asked for its usage")
    def test_slash_question_mark_prints_usage_and_stops_after_earlier_names(self):
        self.make("a.txt", SHIFT_JIS)
        self.make("b.txt", SHIFT_JIS)
        self.assertEqual(self.run_program("tovrek", "a.txt", "/?", "b.txt"), USAGE["tovrek"])
        self.assertEqual(self.content("a.txt"), EUC_JP)
        self.assert_untouched("b.txt", SHIFT_JIS)

    def test_switches_apply_to_the_names_that_follow(self):
        for program in PROGRAMS:
            with self.subTest(program):
                self.make("a.txt", INVALID[program])
                self.make("b.txt", INVALID[program])
                out = self.run_program(program, "-n", "a.txt", "-c", "b.txt")
                self.assertEqual(out, message(REJECTION[program], "b.txt"))
                self.assertEqual(self.content("a.txt"), CONVERTED_INVALID[program])
                self.assert_untouched("b.txt", INVALID[program])

    def test_switch_letters_in_either_case_and_only_the_second_character_counts(self):
        for switches, converted in ((["-N"], True), (["-nc"], True), (["-n", "-C"], False),
                                    (["-cn"], False)):
            with self.subTest(switches):
                self.make("a.txt", INVALID["tovrek"])
                out = self.run_program("tovrek", *switches, "a.txt")
                if converted:
                    self.assertEqual(out, b"")
                    self.assertEqual(self.content("a.txt"), CONVERTED_INVALID["tovrek"])
                else:
                    self.assertEqual(out, message(REJECTION["tovrek"], "a.txt"))

    def test_unknown_switches_and_a_lone_dash_are_ignored(self):
        self.make("-", SHIFT_JIS)
        self.make("-x", SHIFT_JIS)
        self.make("a.txt", INVALID["tovrek"])
        for switch in ("-x", "-", "-q"):
            with self.subTest(switch):
                out = self.run_program("tovrek", switch, "a.txt")
                self.assertEqual(out, message(REJECTION["tovrek"], "a.txt"))
        self.assert_untouched("-", SHIFT_JIS)
        self.assert_untouched("-x", SHIFT_JIS)

    def test_only_switches_print_nothing(self):
        self.assertEqual(self.run_program("grelmat", "-n"), b"")
        self.assertEqual(self.run_program("grelmat", "-n", "-c", "-z"), b"")

    def test_empty_argument_is_a_name_that_cannot_be_opened(self):
        self.assertEqual(self.run_program("tovrek", ""), b"Failed to open file: \n")

    def test_same_name_twice_converts_the_first_output_again(self):
        self.make("a.txt", b"\x82\xa0")
        self.assertEqual(self.run_program("tovrek", "a.txt", "a.txt"), b"")
        # EUC-JP A4 A2 passes the Shift_JIS check as two half-width katakana.
        self.assertEqual(self.content("a.txt"), b"\x8e\xa4\x8e\xa2")

    def test_wildcards_are_not_expanded(self):
        self.make("a1.txt", SHIFT_JIS)
        self.make("a2.txt", SHIFT_JIS)
        out = self.run_program("tovrek", "a*.txt", "a?.txt")
        self.assertEqual(out, b"Failed to open file: a*.txt\nFailed to open file: a?.txt\n")
        self.assert_untouched("a1.txt", SHIFT_JIS)
        self.assert_untouched("a2.txt", SHIFT_JIS)

    def test_names_are_printed_exactly_as_typed(self):
        self.make("%s%d%n.txt", INVALID["grelmat"])
        out = self.run_program("grelmat", "100%s.txt", "%s%d%n.txt", "./%s%d%n.txt")
        self.assertEqual(out, b"Failed to open file: 100%s.txt\n"
                         + message(REJECTION["grelmat"], "%s%d%n.txt")
                         + message(REJECTION["grelmat"], "./%s%d%n.txt"))


class Messages(ScratchTest):
    def test_missing_file_is_reported_and_the_run_goes_on(self):
        self.make("b.txt", SHIFT_JIS)
        out = self.run_program("tovrek", "missing.txt", "b.txt")
        self.assertEqual(out, b"Failed to open file: missing.txt\n")
        self.assertEqual(self.content("b.txt"), EUC_JP)
        self.assert_entries("b.txt")

    def test_rejected_file_keeps_content_and_modification_time(self):
        for program, wrong in (("tovrek", EUC_JP + b"\xf0\xa1"), ("grelmat", SHIFT_JIS)):
            with self.subTest(program):
                self.make("wrong.txt", wrong)
                out = self.run_program(program, "wrong.txt")
                self.assertEqual(out, message(REJECTION[program], "wrong.txt"))
                self.assert_untouched("wrong.txt", wrong)
                self.assert_entries("wrong.txt")

    def test_empty_file_is_never_rewritten(self):
        for program in PROGRAMS:
            for switch in ("-c", "-n"):
                with self.subTest(program=program, switch=switch):
                    self.make("empty.txt", b"")
                    self.assertEqual(self.run_program(program, switch, "empty.txt"), b"")
                    self.assert_untouched("empty.txt", b"")

    def test_every_failure_in_one_run_is_reported_in_order(self):
        self.make("wrong.txt", INVALID["tovrek"])
        self.make("big.txt", b"")
        os.truncate(self.path("big.txt"), 0x100000)
        os.mkdir(self.path("folder"))
        out = self.run_program("tovrek", "nope", "wrong.txt", "big.txt", "folder")
        self.assertEqual(out, b"Failed to open file: nope\n"
                         b"File is NOT written in ShiftJIS: wrong.txt\n"
                         b"File size is too large: big.txt (1024 KB)\n"
                         b"Failed to open file: folder\n")


    @posix_only("resource limits on memory")
    def test_memory_shortage_is_reported_without_a_name_and_the_run_goes_on(self):
        # The image and the room for its output take about 3 MB for this file; 2 MiB of data is
        # enough for the program itself and for a small file.
        limits = {resource.RLIMIT_DATA: 2 << 20}
        probe = subprocess.run([PROGRAMS["tovrek"]], capture_output=True,
                               preexec_fn=limited(limits))
        if probe.returncode != 0:
            self.skipTest("this build cannot start with 2 MiB of data (sanitizer runtimes cannot)")
        self.make("large.txt", b"\r" * 1_000_000)
        self.make("small.txt", SHIFT_JIS)
        out = self.run_program("tovrek", "large.txt", "small.txt", limits=limits)
        self.assertEqual(out, b"Failed to alloc memory\n")
        self.assert_untouched("large.txt", b"\r" * 1_000_000)
        self.assertEqual(self.content("small.txt"), EUC_JP)


@posix_only("names with control characters and SIGPIPE")
class Output(ScratchTest):
    """Messages that scripts read: one line per message whatever the name, and no end to the run
    when the reader has gone."""

    def test_control_characters_in_names_are_printed_escaped(self):
        # Bytes that are not text (an invalid UTF-8 byte) are left as they are.
        for name, printed in (("a.txt\nFailed to write file: b.txt",
                               rb"a.txt\x0aFailed to write file: b.txt"),
                              ("\x1b[2Jx.txt", rb"\x1b[2Jx.txt"),
                              ("tab\there\r\x7f", rb"tab\x09here\x0d\x7f"),
                              ("日本\udcff.txt", "日本".encode() + b"\xff.txt")):
            with self.subTest(name=name):
                self.make(name, INVALID["tovrek"])
                self.assertEqual(self.run_program("tovrek", name),
                                 REJECTION["tovrek"].replace(b"%s", printed))
                os.unlink(self.path(name))

    def test_a_reader_that_has_gone_does_not_end_the_run(self):
        names = [f"f{i}.txt" for i in range(20)]
        for name in names:
            self.make(name, INVALID["tovrek"] if name == "f0.txt" else SHIFT_JIS)
        reader, writer = os.pipe()
        os.close(reader)
        result = subprocess.run([*RUNNER, PROGRAMS["tovrek"], *names], cwd=self.dir,
                                stdout=writer, stderr=subprocess.PIPE, timeout=30 * TIME_SCALE)
        os.close(writer)
        self.assertEqual((result.returncode, result.stderr), (0, b""))
        for name in names[1:]:
            self.assertEqual(self.content(name), EUC_JP, name)


class SizeLimit(ScratchTest):
    def test_largest_file_is_converted_and_one_byte_more_is_refused(self):
        self.make("largest.txt", b"\r" * 0xFFFFF)
        self.make("too-large.txt", b"\r" * 0x100000)
        out = self.run_program("tovrek", "largest.txt", "too-large.txt")
        self.assertEqual(out, b"File size is too large: too-large.txt (1024 KB)\n")
        self.assertEqual(self.content("largest.txt"), b"\n" * 0xFFFFF)
        self.assert_untouched("too-large.txt", b"\r" * 0x100000)

    def test_largest_file_may_double_in_size(self):
        self.make("lines.txt", b"\n" * 0xFFFFF)
        self.assertEqual(self.run_program("grelmat", "lines.txt"), b"")
        self.assertEqual(self.content("lines.txt"), b"\r\n" * 0xFFFFF)

    def test_huge_files_report_their_true_size(self):
        for size in (3 << 30, 5 << 30):
            with self.subTest(size=size):
                path = self.make("huge.bin", b"")
                os.truncate(path, size)
                os.utime(path, ns=(OLD_NS, OLD_NS))
                out = self.run_program("grelmat", "-n", "huge.bin")
                self.assertEqual(out, b"File size is too large: huge.bin (%d KB)\n" % (size >> 10))
                st = os.stat(path)
                self.assertEqual((st.st_size, st.st_mtime_ns), (size, OLD_NS))


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


class SafeReplacement(ScratchTest):
    KANA = b"\xb1" * 3000  # doubles in size when converted to EUC-JP
    SMALL_FILES = {resource.RLIMIT_FSIZE: 4096}  # room for the original, not for the new content

    def test_write_failure_keeps_the_original_and_leaves_no_temporary_file(self):
        self.make("kana.txt", self.KANA)
        self.make("next.txt", SHIFT_JIS)
        out = self.run_program("tovrek", "kana.txt", "next.txt", limits=self.SMALL_FILES)
        self.assertEqual(out, b"Failed to write file: kana.txt\n")
        self.assert_untouched("kana.txt", self.KANA)
        self.assertEqual(self.content("next.txt"), EUC_JP)
        self.assert_entries("kana.txt", "next.txt")

    def test_write_failure_on_a_hard_linked_file_puts_the_old_bytes_back(self):
        self.make("kana.txt", self.KANA)
        os.link(self.path("kana.txt"), self.path("other-name.txt"))
        out = self.run_program("tovrek", "kana.txt", limits=self.SMALL_FILES)
        self.assertEqual(out, b"Failed to write file: kana.txt\n")
        self.assert_untouched("kana.txt", self.KANA)
        self.assertTrue(os.path.samefile(self.path("kana.txt"), self.path("other-name.txt")))
        self.assert_entries("kana.txt", "other-name.txt")

    def test_hard_links_stay_one_file(self):
        self.make("memo.txt", SHIFT_JIS)
        os.link(self.path("memo.txt"), self.path("other-name.txt"))
        inode = os.stat(self.path("memo.txt")).st_ino
        self.assertEqual(self.run_program("tovrek", "memo.txt"), b"")
        for name in ("memo.txt", "other-name.txt"):
            self.assertEqual(self.content(name), EUC_JP)
            self.assertEqual(os.stat(self.path(name)).st_ino, inode)
            self.assertEqual(os.stat(self.path(name)).st_nlink, 2)
        self.assert_entries("memo.txt", "other-name.txt")

    @posix_only("symbolic links")
    def test_symbolic_link_stays_a_link_and_its_target_is_converted(self):
        os.mkdir(self.path("elsewhere"))
        self.make("elsewhere/real.txt", EUC_JP)
        os.symlink("elsewhere/real.txt", self.path("link.txt"))
        os.symlink("link.txt", self.path("link-to-link.txt"))
        self.assertEqual(self.run_program("grelmat", "link-to-link.txt"), b"")
        self.assertEqual(os.readlink(self.path("link-to-link.txt")), "link.txt")
        self.assertEqual(os.readlink(self.path("link.txt")), "elsewhere/real.txt")
        self.assertEqual(self.content("elsewhere/real.txt"), SHIFT_JIS)
        self.assert_entries("elsewhere", "link.txt", "link-to-link.txt")
        self.assert_entries("real.txt", directory=self.path("elsewhere"))

    @posix_only("symbolic links")
    def test_dangling_link_cannot_be_opened(self):
        os.symlink("nowhere.txt", self.path("dangling.txt"))
        self.assertEqual(self.run_program("tovrek", "dangling.txt"),
                         b"Failed to open file: dangling.txt\n")
        self.assertTrue(os.path.islink(self.path("dangling.txt")))
        self.assert_entries("dangling.txt")


    @posix_only("timestamps past 2262")
    def test_a_file_modified_after_2262_converts(self):
        # Its time in nanoseconds no longer fits 64 bits (the sanitizers' build catches that).
        path = self.make("memo.txt", SHIFT_JIS)
        os.utime(path, (10_000_000_000, 10_000_000_000))
        self.assertEqual(self.run_program("tovrek", "memo.txt"), b"")
        self.assertEqual(self.content("memo.txt"), EUC_JP)

    @posix_only("overlay file systems")
    @unittest.skipUnless(os.geteuid() == 0, "needs root to mount an overlay")
    def test_a_file_of_an_overlays_lower_layer_converts_on_the_first_run(self):
        for layer in ("lower", "upper", "work", "merged"):
            os.mkdir(self.path(layer))
        self.make("lower/memo.txt", SHIFT_JIS)
        layers = (f"lowerdir={self.path('lower')},upperdir={self.path('upper')},"
                  f"workdir={self.path('work')}")
        subprocess.run(["mount", "-t", "overlay", "overlay", "-o", layers, self.path("merged")],
                       check=True)
        self.addCleanup(subprocess.run, ["umount", self.path("merged")])
        self.assertEqual(self.run_program("tovrek", "merged/memo.txt"), b"")
        self.assertEqual(self.content("merged/memo.txt"), EUC_JP)
        self.assertEqual(self.content("lower/memo.txt"), SHIFT_JIS)
        self.assert_entries("memo.txt", directory=self.path("merged"))

    @posix_only("paths longer than PATH_MAX")
    def test_a_path_longer_than_path_max_converts(self):
        directory = os.open(self.dir, os.O_RDONLY)
        for _ in range(20):
            os.mkdir("d" * 250, dir_fd=directory)
            inner = os.open("d" * 250, os.O_RDONLY, dir_fd=directory)
            os.close(directory)
            directory = inner
        self.addCleanup(os.close, directory)
        with open(os.open("memo.txt", os.O_WRONLY | os.O_CREAT, dir_fd=directory), "wb") as f:
            f.write(SHIFT_JIS)
        self.assertEqual(self.run_program("tovrek", "/".join(["d" * 250] * 20 + ["memo.txt"])),
                         b"")
        with open(os.open("memo.txt", os.O_RDONLY, dir_fd=directory), "rb") as f:
            self.assertEqual(f.read(), EUC_JP)
        self.assertEqual(os.listdir(directory), ["memo.txt"])


class SpecialFiles(ScratchTest):
    @posix_only("FIFOs, sockets and /dev")
    def test_directory_fifo_socket_and_device_are_not_opened(self):
        os.mkdir(self.path("folder"))
        os.mkfifo(self.path("pipe"))
        listener = socket.socket(socket.AF_UNIX)
        self.addCleanup(listener.close)
        listener.bind(self.path("socket"))
        # A FIFO without a writer would block a plain open; the timeout catches a hang.
        out = self.run_program("grelmat", "folder", "pipe", "socket", "/dev/null", timeout=10)
        self.assertEqual(out, b"Failed to open file: folder\n"
                         b"Failed to open file: pipe\n"
                         b"Failed to open file: socket\n"
                         b"Failed to open file: /dev/null\n")
        self.assertTrue(stat.S_ISFIFO(os.stat(self.path("pipe")).st_mode))
        self.assert_entries("folder", "pipe", "socket")

    @posix_only("strace")
    @tool("strace")
    def test_a_device_is_refused_before_it_sees_an_open(self):
        # Opening a tape or watchdog device has its effect at once: nothing but a regular file may
        # be opened for reading, nor anything else for more than its path.
        os.symlink("/dev/null", self.path("device"))
        log = self.path("strace.log")
        subprocess.run(["strace", "-qq", "-f", "-o", log, "-e", "trace=open,openat",
                        PROGRAMS["grelmat"], "/dev/null", "device"], cwd=self.dir, check=True,
                       capture_output=True, timeout=30,
                       env={**os.environ, "ASAN_OPTIONS": "detect_leaks=0"})
        with open(log) as f:
            opens = [line for line in f if "null" in line]
        self.assertTrue(opens)
        for line in opens:
            self.assertIn("O_PATH", line)

    @unittest.skipUnless(WINDOWS, "Windows devices")
    def test_directory_and_devices_are_not_opened_on_windows(self):
        os.mkdir(self.path("folder"))
        out = self.run_program("grelmat", "folder", "NUL", "CON", "nul.txt")
        self.assertEqual(out, b"Failed to open file: folder\n"
                         b"Failed to open file: NUL\n"
                         b"Failed to open file: CON\n"
                         b"Failed to open file: nul.txt\n")
        self.assert_entries("folder")

    @unittest.skipUnless(WINDOWS, "the read-only attribute; POSIX runs OtherUser instead")
    def test_file_with_the_read_only_attribute_is_not_replaced(self):
        self.make("memo.txt", SHIFT_JIS, mode=0o444)
        out = self.run_program("tovrek", "memo.txt")
        self.assertEqual(out, b"Failed to write file: memo.txt\n")
        self.assert_untouched("memo.txt", SHIFT_JIS)
        self.assert_entries("memo.txt")

    @posix_only("kernel pseudo-files")
    def test_kernel_pseudo_files_are_refused_like_devices(self):
        # Their sizes are made up (a page, or nothing at all) and a write to them is a command.
        paths = [p for p in ("/sys/devices/system/cpu/online", "/proc/version")
                 if os.path.exists(p)]
        if not paths:
            self.skipTest("no /sys or /proc here")
        # As nobody, so that even a faulty program could not write there.
        user = NOBODY if os.geteuid() == 0 else None
        out = self.run_program("tovrek", "-n", *paths, user=user)
        self.assertEqual(out, b"".join(b"Failed to open file: %s\n" % p.encode() for p in paths))


class Paused(ScratchTest):
    """Runs a program under strace, held at a chosen system call on one file, to act meanwhile."""

    def start_paused(self, program, *args, path=None, call, when=1, seconds=2, stdout=None,
                     inject=()):
        log_dir = tempfile.mkdtemp(prefix="converter-strace-")
        self.addCleanup(shutil.rmtree, log_dir, ignore_errors=True)
        self.log = os.path.join(log_dir, "log")
        # -P limits the delay to calls on that file; the line appears once the call is held.
        command = ["strace", "-f", "-qq", "-o", self.log, *(["-P", path] if path else []), "-e",
                   f"inject={call}:delay_exit={seconds * 1_000_000}:when={when}",
                   *(f"--inject={extra}" for extra in inject), PROGRAMS[program], *args]
        process = subprocess.Popen(command, cwd=self.dir, stdout=stdout or subprocess.PIPE,
                                   stderr=subprocess.PIPE, preexec_fn=limited({}),
                                   restore_signals=False)
        self.addCleanup(process.kill)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            with open(self.log, "a+") as f:
                f.seek(0)
                if "(DELAYED)" in f.read():
                    return process
            time.sleep(0.01)
        process.kill()
        self.fail(f"{program} never reached {call} on {path}")

    def traced_program(self, process):
        with open(f"/proc/{process.pid}/task/{process.pid}/children") as f:
            return int(f.read().split()[0])

    def finish(self, process):
        out, err = process.communicate(timeout=60 * TIME_SCALE)
        return out


@posix_only("strace on the program itself")
@tool("strace")
class Tampering(Paused):
    """Another process changes the name or the file between the read and the write."""

    def test_name_swapped_for_a_link_to_another_users_file_writes_nothing(self):
        # Root converts a file in a directory anyone may write; its owner swaps the name for a
        # link to a file of root's while the program is held after the read.
        os.chmod(self.dir, 0o777)
        victim_dir = tempfile.mkdtemp(prefix="converter-victim-")
        self.addCleanup(shutil.rmtree, victim_dir, ignore_errors=True)
        victim = os.path.join(victim_dir, "passwd")
        with open(victim, "wb") as f:
            f.write(b"root:x:0:0::/root:/bin/bash\n")
        self.make("memo.txt", b"pwned::0:0::/root:/bin/sh\r\n")
        process = self.start_paused("tovrek", "memo.txt", path="memo.txt", call="pread64")
        os.symlink(victim, self.path(".lnk"))
        os.rename(self.path(".lnk"), self.path("memo.txt"))
        self.assertEqual(self.finish(process), b"Failed to write file: memo.txt\n")
        with open(victim, "rb") as f:
            self.assertEqual(f.read(), b"root:x:0:0::/root:/bin/bash\n")
        self.assertEqual(os.readlink(self.path("memo.txt")), victim)
        self.assert_entries("memo.txt")

    def test_change_by_another_writer_after_the_read_is_kept(self):
        def append(path):
            with open(path, "ab") as f:
                f.write("追記\r\n".encode("shift_jis"))

        def rewrite_same_size(path):
            with open(path, "r+b") as f:
                f.write(b"X")

        def save_over(path):
            # What an editor does: write a new file, then rename it over the name.
            with open(path + ".new", "wb") as f:
                f.write(b"saved\r\n")
            os.rename(path + ".new", path)

        for change in (append, rewrite_same_size, save_over):
            for links in (1, 2):
                with self.subTest(change=change.__name__, links=links):
                    self.make("memo.txt", SHIFT_JIS)
                    if links == 2:
                        os.link(self.path("memo.txt"), self.path("link.txt"))
                    process = self.start_paused("tovrek", "memo.txt", path="memo.txt",
                                                call="pread64")
                    change(self.path("memo.txt"))
                    theirs = self.content("memo.txt")
                    self.assertEqual(self.finish(process), b"Failed to write file: memo.txt\n")
                    self.assertEqual(self.content("memo.txt"), theirs)
                    self.assert_entries("memo.txt", *(["link.txt"] if links == 2 else []))
                    for name in os.listdir(self.dir):
                        os.unlink(self.path(name))

    def test_kill_during_an_in_place_rewrite_leaves_whole_old_or_new_or_the_backup(self):
        old = b"line\r\n" * 2000  # shrinks when converted, so a cut-short rewrite would show
        new = b"line\n" * 2000
        # Fault signals too, when another process sends them (a watchdog's SIGABRT).
        for sig in (signal.SIGQUIT, signal.SIGTERM, signal.SIGABRT, signal.SIGSEGV, signal.SIGBUS,
                    signal.SIGKILL):
            with self.subTest(signal=sig.name):
                self.make("memo.txt", old)
                os.link(self.path("memo.txt"), self.path("link.txt"))
                process = self.start_paused("tovrek", "memo.txt", path="memo.txt",
                                            call="pwrite64")
                os.kill(self.traced_program(process), sig)
                self.finish(process)
                content = self.content("memo.txt")
                backups = [n for n in os.listdir(self.dir) if n.endswith(".bak")]
                if content not in (old, new):
                    self.assertEqual(len(backups), 1, content[:40])
                    self.assertEqual(self.content(backups[0]), old)
                if sig != signal.SIGKILL:
                    # Held back until the rewrite was over, then it ended the program.
                    self.assertEqual(content, new)
                    self.assert_entries("memo.txt", "link.txt")
                for name in os.listdir(self.dir):
                    os.unlink(self.path(name))

    def test_signal_while_the_temporary_file_is_written_removes_it(self):
        for sig in (signal.SIGQUIT, signal.SIGALRM, signal.SIGUSR1, signal.SIGTERM):
            with self.subTest(signal=sig.name):
                self.make("memo.txt", SHIFT_JIS)
                # The first sync of the run is the temporary file's.
                process = self.start_paused("tovrek", "memo.txt", call="fsync")
                os.kill(self.traced_program(process), sig)
                self.finish(process)
                self.assert_untouched("memo.txt", SHIFT_JIS)
                self.assert_entries("memo.txt")

    def test_second_run_during_the_first_ones_write_waits_for_it(self):
        # The second run, with the check off, would convert whatever it found: the first run's
        # content half-written, if it did not wait.
        self.make("expected.txt", EUC_JP)
        self.run_program("tovrek", "-n", "expected.txt")
        twice = self.content("expected.txt")
        os.unlink(self.path("expected.txt"))
        for links in (1, 2):
            with self.subTest(links=links):
                self.make("memo.txt", SHIFT_JIS * 100)
                if links == 2:
                    os.link(self.path("memo.txt"), self.path("link.txt"))
                    # Held after the first write of the new content over the old.
                    first = self.start_paused("tovrek", "memo.txt", path="memo.txt",
                                              call="pwrite64")
                else:
                    # Held once the temporary file is written.
                    first = self.start_paused("tovrek", "memo.txt", call="fsync")
                second = self.run_program("tovrek", "-n", "link.txt" if links == 2 else "memo.txt")
                self.assertEqual((self.finish(first), second), (b"", b""))
                self.assertEqual(self.content("memo.txt"), twice * 100)
                self.assert_entries("memo.txt", *(["link.txt"] if links == 2 else []))
                for name in os.listdir(self.dir):
                    os.unlink(self.path(name))

    def paused_with_the_temporary_file_named(self):
        """Starts tovrek on memo.txt and yields the name of its temporary file once it has one.

        Each sync and link is held, so there is time to act whenever the name appears: at once
        where the temporary file is named when made, just before the exchange where it is not.
        """
        self.make("memo.txt", SHIFT_JIS)
        first = self.start_paused("tovrek", "memo.txt", call="fsync,linkat")
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            temporary = [n for n in os.listdir(self.dir) if n != "memo.txt"]
            if temporary:
                return first, temporary[0]
            time.sleep(0.01)
        self.fail("no temporary file appeared")

    def test_another_run_that_meets_the_temporary_file_does_not_convert_it(self):
        first, temporary = self.paused_with_the_temporary_file_named()
        second = self.run_program("tovrek", "-n", temporary)
        self.assertEqual((self.finish(first), second),
                         (b"", message(b"Failed to open file: %s\n", temporary)))
        self.assertEqual(self.content("memo.txt"), EUC_JP)
        self.assert_entries("memo.txt")

    def test_file_put_under_the_temporary_name_never_takes_the_files_place(self):
        os.chmod(self.dir, 0o777)
        first, temporary = self.paused_with_the_temporary_file_named()
        os.rename(self.path(temporary), self.path("aside"))
        self.make(temporary, b"planted\n")
        self.assertEqual(self.finish(first), b"Failed to write file: memo.txt\n")
        self.assert_untouched("memo.txt", SHIFT_JIS)
        self.assertEqual(self.content(temporary), b"planted\n")

    def test_a_copy_of_the_old_content_left_behind_is_named(self):
        # The old bytes cannot be put back after a failed rewrite in place; the old file cannot
        # be removed after the exchange. (links, failure, whether the file got the new content)
        for links, failure, converted in ((2, "ftruncate:error=EIO", False),
                                          (1, "unlinkat:error=EIO", True)):
            with self.subTest(failure=failure):
                for name in os.listdir(self.dir):
                    os.unlink(self.path(name))
                self.make("memo.txt", SHIFT_JIS)
                if links == 2:
                    os.link(self.path("memo.txt"), self.path("link.txt"))
                result = subprocess.run(
                    ["strace", "-qq", "-o", "/dev/null", "-e", f"inject={failure}",
                     PROGRAMS["tovrek"], "memo.txt"],
                    cwd=self.dir, capture_output=True, timeout=30,
                    env={**os.environ, "ASAN_OPTIONS": "detect_leaks=0"})
                *failed, kept = result.stdout.splitlines()
                self.assertEqual(failed, [] if converted else [b"Failed to write file: memo.txt"])
                self.assertTrue(kept.startswith(b"Old content kept in: /"), kept)
                with open(kept[len(b"Old content kept in: "):], "rb") as f:
                    self.assertEqual(f.read(), SHIFT_JIS)
                if converted:
                    self.assertEqual(self.content("memo.txt"), EUC_JP)

    def test_a_directory_that_cannot_be_flushed_at_the_end_is_reported(self):
        # Two temporary files are synced, then their directory, once, when the run ends.
        self.make("a.txt", SHIFT_JIS)
        self.make("b.txt", SHIFT_JIS)
        result = subprocess.run(["strace", "-qq", "-o", "/dev/null", "-e",
                                 "inject=fsync:error=EIO:when=3", PROGRAMS["tovrek"], "a.txt",
                                 "b.txt"], cwd=self.dir, capture_output=True, timeout=30,
                                env={**os.environ, "ASAN_OPTIONS": "detect_leaks=0"})
        self.assertEqual(result.stdout,
                         b"Failed to write file: a.txt\nFailed to write file: b.txt\n")
        self.assertEqual(self.content("a.txt"), EUC_JP)

    @tool("mkfs.btrfs")
    @unittest.skipUnless(os.geteuid() == 0, "needs root to mount a file system")
    def test_old_bytes_go_back_without_new_space_on_a_copy_on_write_file_system(self):
        # On btrfs even rewriting a block takes new space. Here the rewrite in place fails after
        # its first write, and every later write fails as it would on a full file system: the old
        # bytes still go back, as shared extents of the backup.
        subprocess.run(["truncate", "-s", "128M", self.path("fs.img")], check=True)
        subprocess.run(["mkfs.btrfs", "-q", self.path("fs.img")], check=True,
                       capture_output=True)
        os.mkdir(self.path("mnt"))
        subprocess.run(["mount", "-o", "loop", self.path("fs.img"), self.path("mnt")],
                       check=True)
        self.addCleanup(subprocess.run, ["umount", self.path("mnt")])
        old = SHIFT_JIS * 100
        self.make("mnt/memo.txt", old)
        os.link(self.path("mnt/memo.txt"), self.path("mnt/link.txt"))
        result = subprocess.run(
            ["strace", "-qq", "-o", "/dev/null", "-P", "mnt/memo.txt",
             "-e", "inject=ftruncate:error=ENOSPC:when=1",
             "-e", "inject=pwrite64:error=ENOSPC:when=2+", PROGRAMS["tovrek"], "mnt/memo.txt"],
            cwd=self.dir, capture_output=True, timeout=30,
            env={**os.environ, "ASAN_OPTIONS": "detect_leaks=0"})
        self.assertEqual(result.stdout, b"Failed to write file: mnt/memo.txt\n")
        self.assertEqual(self.content("mnt/memo.txt"), old)
        self.assert_entries("memo.txt", "link.txt", directory=self.path("mnt"))

    @unittest.skipUnless(os.geteuid() == 0, "needs root to mount a file system")
    def test_same_size_rewrite_in_the_same_second_is_kept_without_a_lease(self):
        # With one-second times (ext4 with 128-byte inodes) a rewrite of the same size in the
        # same second changes neither the size nor a time; with no lease (refused here on
        # purpose) only the content can tell.
        subprocess.run(["truncate", "-s", "16M", self.path("fs.img")], check=True)
        subprocess.run(["mkfs.ext4", "-q", "-I", "128", self.path("fs.img")], check=True,
                       capture_output=True)
        os.mkdir(self.path("mnt"))
        subprocess.run(["mount", "-o", "loop", self.path("fs.img"), self.path("mnt")],
                       check=True)
        self.addCleanup(subprocess.run, ["umount", self.path("mnt")])
        path = self.path("mnt/memo.txt")
        same_second = 0
        for _ in range(4):
            self.make("mnt/memo.txt", SHIFT_JIS)
            changed = os.stat(path).st_ctime_ns
            process = self.start_paused("tovrek", "mnt/memo.txt", path="mnt/memo.txt",
                                        call="pread64", inject=["fcntl:error=EINVAL:when=1"])
            with open(path, "r+b") as f:
                f.write(b"X")
            os.utime(path, ns=(OLD_NS, OLD_NS))
            same_second += os.stat(path).st_ctime_ns == changed
            self.assertEqual(self.finish(process), b"Failed to write file: mnt/memo.txt\n")
            self.assertEqual(self.content("mnt/memo.txt"), b"X" + SHIFT_JIS[1:])
        self.assertGreater(same_second, 0)

    def test_messages_reach_a_redirected_log_before_a_kill(self):
        self.make("wrong.txt", INVALID["grelmat"])
        self.make("next.txt", EUC_JP)
        with open(os.path.join(tempfile.mkdtemp(prefix="converter-log-"), "log"), "w+b") as log:
            self.addCleanup(shutil.rmtree, os.path.dirname(log.name), ignore_errors=True)
            process = self.start_paused("grelmat", "wrong.txt", "next.txt", path="next.txt",
                                        call="pread64", stdout=log)
            os.kill(self.traced_program(process), signal.SIGKILL)
            self.finish(process)
            log.seek(0)
            self.assertEqual(log.read(), message(REJECTION["grelmat"], "wrong.txt"))
        self.assert_untouched("next.txt", EUC_JP)


@posix_only("strace on the program itself")
@tool("strace")
@unittest.skipIf(os.environ.get("SANITIZED"), "the sanitizers' own calls would multiply the runs")
class CrashPoints(ScratchTest):
    """A signal before each system call of a conversion in turn, on both ways of replacing."""

    OLD = SHIFT_JIS * 40
    NEW = EUC_JP * 40
    SETUP_CALLS = {"rt_sigaction", "rt_sigprocmask", "exit_group"}

    def prepare(self, links):
        for name in os.listdir(self.dir):
            os.unlink(self.path(name))
        self.make("memo.txt", self.OLD)
        if links == 2:
            os.link(self.path("memo.txt"), self.path("link.txt"))

    def points(self, links):
        """Each system call from the first look at the file on, as (name, its how-manieth)."""
        self.prepare(links)
        log = self.path("strace.log")
        subprocess.run(["strace", "-qq", "-o", log, PROGRAMS["tovrek"], "memo.txt"],
                       cwd=self.dir, check=True, timeout=30)
        with open(log) as f:
            calls = [(m.group(1), "memo.txt" in line)
                     for line in f for m in [re.match(r"(\w+)\(", line)] if m]
        counts, points, started = {}, [], False
        for name, on_the_file in calls:
            counts[name] = counts.get(name, 0) + 1
            started = started or on_the_file
            if started and name not in self.SETUP_CALLS:
                points.append((name, counts[name]))
        return points

    def test_file_is_whole_old_or_new_and_no_scratch_file_stays_named(self):
        for links in (1, 2):
            points = self.points(links)
            self.assertGreater(len(points), 20)
            named_after_kill = []
            for sig in ("KILL", "ABRT"):
                for call, when in points:
                    with self.subTest(links=links, signal=sig, call=call, when=when):
                        self.prepare(links)
                        subprocess.run(["strace", "-qq", "-o", "/dev/null", "-e",
                                        f"inject={call}:signal={sig}:when={when}",
                                        PROGRAMS["tovrek"], "memo.txt"],
                                       cwd=self.dir, capture_output=True, timeout=30)
                        content = self.content("memo.txt")
                        scratch = sorted(set(os.listdir(self.dir)) - {"memo.txt", "link.txt"})
                        backups = [n for n in scratch if n.endswith(".bak")]
                        if content not in (self.OLD, self.NEW):
                            self.assertEqual(len(backups), 1, content[:40])
                            self.assertEqual(self.content(backups[0]), self.OLD)
                        if links == 2:
                            self.assertEqual(os.stat(self.path("link.txt")).st_ino,
                                             os.stat(self.path("memo.txt")).st_ino)
                        if sig == "ABRT":
                            # Held back or handled: no name is left behind.
                            self.assertEqual(scratch, [])
                        for name in set(scratch) - set(backups):
                            self.assertIn(self.content(name), (self.OLD, self.NEW))
                            named_after_kill.append(call)
            # Only a SIGKILL in the moment between naming the temporary file and removing the
            # old one after the exchange leaves a name: a handful of system calls.
            self.assertLessEqual(len(named_after_kill), 6, named_after_kill)


class Concurrency(ScratchTest):
    ROUNDS = 100

    def test_two_runs_at_once_convert_once_and_never_mix(self):
        # Converted once, the text no longer passes the Shift_JIS check: a second conversion
        # that waited for the first is rejected.
        for links in (1, 2):
            with self.subTest(links=links):
                for _ in range(self.ROUNDS):
                    self.make("memo.txt", SHIFT_JIS * 40)
                    if links == 2:
                        os.link(self.path("memo.txt"), self.path("link.txt"))
                    runs = [subprocess.Popen([*RUNNER, PROGRAMS["tovrek"], name], cwd=self.dir,
                                             stdout=subprocess.PIPE)
                            for name in ("memo.txt", "link.txt" if links == 2 else "memo.txt")]
                    outs = sorted(run.communicate(timeout=30 * TIME_SCALE)[0].replace(b"\r\n", b"\n")
                                  for run in runs)
                    self.assertEqual(self.content("memo.txt"), EUC_JP * 40)
                    self.assertEqual(outs[0], b"")
                    # On Windows the lock is let go just before the move, since an open file
                    # cannot be replaced there; a run that slips in then is refused instead.
                    refused = rb"|Failed to write file: \S+\n" if WINDOWS else rb""
                    self.assertRegex(outs[1],
                                     rb"^(|File is NOT written in ShiftJIS: \S+\n" + refused + rb")$")
                    for name in os.listdir(self.dir):
                        os.unlink(self.path(name))

    @posix_only("descriptors held open for writing")
    def test_a_writer_holding_the_file_open_keeps_its_data(self):
        # A logger that appends through a descriptor it holds, an editor with the file mapped
        # shared and writable (its descriptor closed): converting the file under them would send
        # what they write next to a file that no longer has a name.
        def appender(path):
            logger = open(path, "ab")
            return lambda: (logger.write(b"more\r\n"), logger.close())

        def mapping(path):
            with open(path, "r+b") as f:
                view = mmap.mmap(f.fileno(), 0)
            return lambda: (view.__setitem__(slice(0, 4), b"more"), view.close())

        for writer, written in ((appender, SHIFT_JIS + b"more\r\n"),
                                (mapping, b"more" + SHIFT_JIS[4:])):
            with self.subTest(writer=writer.__name__):
                self.make("log.txt", SHIFT_JIS)
                write_more = writer(self.path("log.txt"))
                out = self.run_program("tovrek", "log.txt")
                write_more()
                self.assertEqual(out, b"Failed to open file: log.txt\n")
                self.assertEqual(self.content("log.txt"), written)

    @posix_only("flock(2) held by Python")
    def test_lock_held_by_another_program_is_given_up_after_a_few_seconds(self):
        self.make("memo.txt", SHIFT_JIS)
        self.make("next.txt", SHIFT_JIS)
        with open(self.path("memo.txt"), "rb") as held:
            fcntl.flock(held, fcntl.LOCK_EX)
            started = time.monotonic()
            out = self.run_program("tovrek", "memo.txt", "next.txt")
            waited = time.monotonic() - started
        self.assertEqual(out, b"Failed to open file: memo.txt\n")
        self.assertGreater(waited, 2)
        self.assertLess(waited, 20)
        self.assert_untouched("memo.txt", SHIFT_JIS)
        self.assertEqual(self.content("next.txt"), EUC_JP)

    @posix_only("strace")
    @tool("strace")
    def test_file_system_without_locks_still_converts(self):
        # Some network file systems refuse flock(2); the checks before the replacement remain.
        self.make("memo.txt", SHIFT_JIS)
        # The leak checker cannot stop the world of a process that strace already traces.
        result = subprocess.run(["strace", "-o", "/dev/null", "-e", "inject=flock:error=ENOLCK",
                                 PROGRAMS["tovrek"], "memo.txt"], cwd=self.dir,
                                capture_output=True, timeout=30 * TIME_SCALE,
                                env={**os.environ, "ASAN_OPTIONS": "detect_leaks=0"})
        self.assertEqual((result.returncode, result.stdout), (0, b""))
        self.assertEqual(self.content("memo.txt"), EUC_JP)
        self.assert_entries("memo.txt")

    @posix_only("resource limits on descriptors")
    def test_a_long_list_of_folders_converts_under_a_low_descriptor_limit(self):
        names = [f"d{i}/memo.txt" for i in range(30)]
        for name in names:
            os.mkdir(self.path(os.path.dirname(name)))
            self.make(name, SHIFT_JIS)
        out = self.run_program("tovrek", *names, limits={resource.RLIMIT_NOFILE: 16})
        self.assertEqual(out, b"")
        for name in names:
            self.assertEqual(self.content(name), EUC_JP, name)

    @posix_only("resource limits on descriptors")
    def test_running_out_of_descriptors_at_any_step_leaves_the_file_alone(self):
        # Whichever descriptor is the one missing, the file must not be half rewritten, nor
        # rewritten in place for want of a temporary file.
        outcomes = set()
        for limit in range(4, 12):
            with self.subTest(limit=limit):
                self.make("memo.txt", SHIFT_JIS)
                out = self.run_program("tovrek", "memo.txt", limits={resource.RLIMIT_NOFILE: limit})
                self.assertIn(out, (b"", b"Failed to open file: memo.txt\n",
                                    b"Failed to write file: memo.txt\n"))
                outcomes.add(out)
                if out:
                    self.assert_untouched("memo.txt", SHIFT_JIS)
                else:
                    self.assertEqual(self.content("memo.txt"), EUC_JP)
                self.assert_entries("memo.txt")
        self.assertEqual(len(outcomes), 3)

@posix_only("ACLs, extended attributes and attribute flags")
@tool("setfacl")
@tool("setfattr")
@tool("chattr")
class KeptMetadata(ScratchTest):
    def listing(self, command, name):
        return subprocess.run([command, *name], cwd=self.dir, capture_output=True,
                              check=True).stdout

    def test_access_acl_stays_and_the_group_gains_nothing(self):
        path = self.make("memo.txt", SHIFT_JIS, mode=0o640)
        subprocess.run(["setfacl", "-m", "u:nobody:rw", path], check=True)
        acl = self.listing("getfacl", ["-n", "memo.txt"])
        mode = os.stat(path).st_mode
        self.assertEqual(self.run_program("tovrek", "memo.txt"), b"")
        self.assertEqual(self.content("memo.txt"), EUC_JP)
        self.assertEqual(self.listing("getfacl", ["-n", "memo.txt"]), acl)
        self.assertEqual(os.stat(path).st_mode, mode)

    def test_directory_default_acl_does_not_replace_the_files_permissions(self):
        subprocess.run(["setfacl", "-d", "-m", "u:nobody:rwx,g::rwx,o::rwx", self.dir], check=True)
        path = self.make("memo.txt", EUC_JP)
        subprocess.run(["setfacl", "-b", path], check=True)
        os.chmod(path, 0o600)
        acl = self.listing("getfacl", ["-n", "memo.txt"])
        self.assertEqual(self.run_program("grelmat", "memo.txt"), b"")
        self.assertEqual(self.content("memo.txt"), SHIFT_JIS)
        self.assertEqual(self.listing("getfacl", ["-n", "memo.txt"]), acl)
        self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o600)

    @tool("setcap")
    @unittest.skipUnless(os.geteuid() == 0, "needs root to give a file capabilities")
    def test_file_capabilities_stay_on_both_paths(self):
        for links in (1, 2):
            with self.subTest(links=links):
                path = self.make("tool.txt", SHIFT_JIS)
                if links == 2:
                    os.link(path, self.path("link.txt"))
                subprocess.run(["setcap", "cap_net_raw+ep", path], check=True)
                self.assertEqual(self.run_program("tovrek", "tool.txt"), b"")
                self.assertEqual(self.content("tool.txt"), EUC_JP)
                self.assertIn(b"cap_net_raw=ep", self.listing("getcap", [path]))
                for name in os.listdir(self.dir):
                    os.unlink(self.path(name))

    def test_extended_attributes_and_attribute_flags_stay(self):
        path = self.make("memo.txt", SHIFT_JIS)
        subprocess.run(["setfattr", "-n", "user.origin", "-v", "scanner 7", path], check=True)
        subprocess.run(["chattr", "+d", "+A", path], check=True)
        flags = self.listing("lsattr", ["memo.txt"])
        self.assertEqual(self.run_program("tovrek", "memo.txt"), b"")
        self.assertEqual(self.content("memo.txt"), EUC_JP)
        self.assertEqual(os.getxattr(path, "user.origin"), b"scanner 7")
        self.assertEqual(self.listing("lsattr", ["memo.txt"]), flags)

    def test_append_only_directory_gets_nothing_left_behind(self):
        os.mkdir(self.path("log"))
        self.make("log/memo-append-only.txt", SHIFT_JIS)
        subprocess.run(["chattr", "+a", self.path("log")], check=True)
        self.addCleanup(subprocess.run, ["chattr", "-a", self.path("log")])
        self.assertEqual(self.run_program("tovrek", "log/memo-append-only.txt"), b"")
        self.assertEqual(self.content("log/memo-append-only.txt"), EUC_JP)
        self.assert_entries("memo-append-only.txt", directory=self.path("log"))
        self.assertEqual(glob.glob("/var/tmp/.memo-append-only.txt.*"), [])
        self.assertEqual(glob.glob("/tmp/.memo-append-only.txt.*"), [])

    @unittest.skipUnless(os.geteuid() == 0, "needs root to mount file systems")
    def test_no_backup_in_memory_when_the_directory_takes_no_new_file(self):
        # With the system's temporary directories in memory, a power cut during the rewrite
        # would take the only old copy: the file is left alone instead.
        os.mkdir(self.path("log"))
        self.make("log/memo.txt", SHIFT_JIS)
        subprocess.run(["chattr", "+a", self.path("log")], check=True)
        self.addCleanup(subprocess.run, ["chattr", "-a", self.path("log")])
        # The program comes along in the scratch directory: the build tree may be under /tmp.
        os.mkdir(self.path("bin"))
        shutil.copy(PROGRAMS["tovrek"], self.path("bin"))
        script = ('mount --bind "$1" /mnt && mount -t tmpfs none /tmp && '
                  'mount -t tmpfs none /var/tmp && cd /mnt && exec bin/tovrek log/memo.txt')
        result = subprocess.run(["unshare", "--mount", "sh", "-c", script, "sh", self.dir],
                                capture_output=True, timeout=30)
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (0, b"Failed to write file: log/memo.txt\n", b""))
        self.assert_untouched("log/memo.txt", SHIFT_JIS)


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
        # The 64th UTF-16 unit of the name starts a pair: the temporary file's name, cut there,
        # must keep the whole character or none of it.
        name = "a" * 63 + "\U0001F600.txt"
        path = self.make(name, SHIFT_JIS)
        inode = os.stat(path).st_ino
        self.assertEqual(self.run_program("tovrek", name, env=self.C_LOCALE), b"")
        self.assertEqual(self.content(name), EUC_JP)
        self.assertNotEqual(os.stat(path).st_ino, inode)
        self.assert_entries(name)


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


@posix_only("other users")
@unittest.skipUnless(os.geteuid() == 0, "needs root to run the programs as another user")
class OtherUser(ScratchTest):
    """The programs run as nobody, in a scratch directory nobody may write."""

    def setUp(self):
        super().setUp()
        os.chown(self.dir, NOBODY, NOBODY)

    def make_owned(self, name, content, mode, owner=NOBODY):
        path = self.make(name, content, mode=mode)
        os.chown(path, owner, owner)
        return path

    @tool("setpriv")
    def test_sticky_directory_of_another_user_without_cap_fowner_leaves_nothing_behind(self):
        # Root without CAP_FOWNER may neither rename nor remove another user's entries in a
        # sticky directory: the file is rewritten in place instead of exchanged.
        os.chmod(self.dir, 0o1777)
        self.make_owned("memo.txt", SHIFT_JIS, 0o666)
        result = subprocess.run(["setpriv", "--bounding-set=-fowner", PROGRAMS["tovrek"],
                                 "memo.txt"], cwd=self.dir, capture_output=True, timeout=30)
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, b"", b""))
        self.assertEqual(self.content("memo.txt"), EUC_JP)
        self.assertEqual(os.stat(self.path("memo.txt")).st_uid, NOBODY)
        self.assert_entries("memo.txt")

    def test_read_only_file_is_not_replaced(self):
        self.make_owned("memo.txt", SHIFT_JIS, 0o444)
        out = self.run_program("tovrek", "memo.txt", user=NOBODY)
        self.assertEqual(out, b"Failed to write file: memo.txt\n")
        self.assert_untouched("memo.txt", SHIFT_JIS)
        self.assert_entries("memo.txt")

    def test_unreadable_file_cannot_be_opened(self):
        self.make_owned("secret.txt", SHIFT_JIS, 0o600, owner=0)
        out = self.run_program("tovrek", "secret.txt", user=NOBODY)
        self.assertEqual(out, b"Failed to open file: secret.txt\n")
        self.assert_untouched("secret.txt", SHIFT_JIS)

    def test_writable_file_of_another_owner_keeps_its_owner(self):
        path = self.make_owned("shared.txt", SHIFT_JIS, 0o666, owner=0)
        inode = os.stat(path).st_ino
        self.assertEqual(self.run_program("tovrek", "shared.txt", user=NOBODY), b"")
        st = os.stat(path)
        self.assertEqual((st.st_uid, st.st_gid, st.st_ino), (0, 0, inode))
        self.assertEqual(self.content("shared.txt"), EUC_JP)
        self.assert_entries("shared.txt")

    def test_file_in_a_read_only_directory_is_rewritten_in_place(self):
        self.make_owned("memo-read-only-dir.txt", EUC_JP, 0o644)
        os.chmod(self.dir, 0o555)
        self.assertEqual(self.run_program("grelmat", "memo-read-only-dir.txt", user=NOBODY), b"")
        self.assertEqual(self.content("memo-read-only-dir.txt"), SHIFT_JIS)
        self.assert_entries("memo-read-only-dir.txt")
        # Its backup went to the system's temporary directory, and is gone again.
        self.assertEqual(glob.glob("/tmp/.memo-read-only-dir.txt.*"), [])

    def test_set_id_bits_survive_an_in_place_rewrite_by_the_owner(self):
        path = self.make_owned("tool.txt", SHIFT_JIS, 0o6755)
        os.chmod(path, 0o6755)
        os.link(path, self.path("other-name.txt"))
        self.assertEqual(self.run_program("tovrek", "tool.txt", user=NOBODY), b"")
        self.assertEqual(self.content("tool.txt"), EUC_JP)
        self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o6755)


if __name__ == "__main__":
    unittest.main()


@posix_only("symbolic links of other users")
@unittest.skipUnless(os.geteuid() == 0, "needs root to give a link to another user")
class PlantedLinks(ScratchTest):
    """Root converts names in a directory another user may write, who planted links there."""

    def test_a_link_is_followed_only_for_its_owner_or_to_what_its_owner_owns(self):
        elsewhere = tempfile.mkdtemp(prefix="converter-elsewhere-")
        self.addCleanup(shutil.rmtree, elsewhere, ignore_errors=True)
        os.chmod(self.dir, 0o777)
        # (link, what it points to, the link's owner, the owner of what it points to, name
        # given, whether the file behind it is converted)
        cases = (("notes.txt", "secret.txt", NOBODY, 0, "notes.txt", False),
                 ("sub", "", NOBODY, 0, "sub/secret.txt", False),
                 ("notes.txt", "secret.txt", 0, 0, "notes.txt", True),
                 ("notes.txt", "theirs.txt", NOBODY, NOBODY, "notes.txt", True),
                 ("sub", "", NOBODY, NOBODY, "sub/theirs.txt", True))
        for link, target, link_owner, owner, name, converted in cases:
            with self.subTest(link=link, link_owner=link_owner, owner=owner):
                behind = os.path.join(elsewhere, target or os.path.basename(name))
                with open(behind, "wb") as f:
                    f.write(SHIFT_JIS)
                os.chown(behind, owner, owner)
                if not target:
                    os.chown(elsewhere, owner, owner)
                os.symlink(os.path.join(elsewhere, target), self.path(link))
                os.lchown(self.path(link), link_owner, link_owner)
                out = self.run_program("tovrek", name)
                with open(behind, "rb") as f:
                    content = f.read()
                os.unlink(self.path(link))
                os.unlink(behind)
                os.chown(elsewhere, 0, 0)
                self.assertEqual(out, b"" if converted else message(b"Failed to open file: %s\n",
                                                                    name))
                self.assertEqual(content, EUC_JP if converted else SHIFT_JIS)
