"""The command line and the messages: what the programs print, and how scripts can read it."""

import fcntl
import os
import resource
import shutil
import stat
import subprocess
import unittest

from support import (PROGRAMS, WINDOWS, RUNNER, TIME_SCALE, USAGE, VERSION, REJECTION, INVALID,
                     CONVERTED_ALREADY, WRITTEN_IN,
                     CONVERTED_INVALID, SHIFT_JIS, EUC_JP, OLD_NS, NOBODY, posix_only, message,
                     limited, ScratchTest)


def widest_kernels():
    """The widest kernel set this processor runs, from the flags Linux reports."""
    with open("/proc/cpuinfo") as f:
        flags = next(line for line in f if line.startswith("flags")).split()
    if {"avx512f", "avx512bw", "avx512vbmi", "avx512_vbmi2"} <= set(flags):
        return "avx512"
    return "avx2" if "avx2" in flags else "sse2" if "sse2" in flags else "portable"


class CommandLine(ScratchTest):
    def test_no_arguments_prints_the_usage_text(self):
        for program in PROGRAMS:
            with self.subTest(program):
                self.assertEqual(self.run_program(program), USAGE[program])

    @unittest.skipUnless(WINDOWS, "only Windows turns line ends of messages into CR LF")
    def test_usage_lines_end_in_cr_lf_on_windows(self):
        result = subprocess.run([*RUNNER, PROGRAMS["grelmat"]], capture_output=True,
                                timeout=30 * TIME_SCALE)
        self.assertEqual(result.stdout, USAGE["grelmat"].replace(b"\n", b"\r\n"))

    def test_question_mark_prints_usage_and_stops_after_earlier_names(self):
        # "/?" is how a Windows console program is asked for its usage.
        for switch in ("-?", "/?") if WINDOWS else ("-?",):
            with self.subTest(switch=switch):
                self.make("a.txt", SHIFT_JIS)
                self.make("b.txt", SHIFT_JIS)
                self.assertEqual(self.run_program("tovrek", "a.txt", switch, "b.txt"),
                                 USAGE["tovrek"])
                self.assertEqual(self.content("a.txt"), EUC_JP)
                self.assert_untouched("b.txt", SHIFT_JIS)

    def test_version_names_the_kernels_chosen_for_this_processor(self):
        # The widest set the processor runs, unless a narrower one is named; a name it cannot
        # run, or no set's name, gives the widest. Under Wine the emulated processor decides.
        widest = None if WINDOWS else widest_kernels()
        for wanted, chosen in (("", widest), ("portable", "portable"), ("sse2", "sse2"),
                               ("avx512", widest), ("AVX2", widest)):
            with self.subTest(wanted=wanted):
                out = self.run_program("grelmat", "--version", env={"CONVERTER_KERNELS": wanted})
                first, kernels = out.decode().splitlines()
                self.assertEqual(first, f"grelmat (tovrek-grelmat) {VERSION}")
                if chosen is None:
                    self.assertIn(kernels, ("kernels: sse2", "kernels: avx2", "kernels: avx512"))
                else:
                    self.assertEqual(kernels, f"kernels: {chosen}")

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

    def test_same_name_twice_is_not_converted_twice(self):
        # Regression: EUC-JP A4 A2 passed the Shift_JIS check as two half-width katakana and
        # became 8E A4 8E A2.
        self.make("a.txt", b"\x82\xa0")
        self.assertEqual(self.run_program("tovrek", "a.txt", "a.txt"),
                         message(CONVERTED_ALREADY["tovrek"], "a.txt"))
        self.assertEqual(self.content("a.txt"), b"\xa4\xa2")

    def test_help_and_version_print_and_stop_after_earlier_names(self):
        for switch, printed in (("--help", USAGE), ("-h", USAGE), ("-H", USAGE),
                                ("--version", {p: f"{p} (tovrek-grelmat) {VERSION}\nkernels: portable\n".encode()
                                               for p in PROGRAMS})):
            for program, text in (("tovrek", SHIFT_JIS), ("grelmat", EUC_JP)):
                with self.subTest(switch=switch, program=program):
                    self.make("a.txt", text)
                    self.make("b.txt", text)
                    self.assertEqual(self.run_program(program, "a.txt", switch, "b.txt",
                                                      env={"CONVERTER_KERNELS": "portable"}),
                                     printed[program])
                    self.assertNotEqual(self.content("a.txt"), text)
                    self.assert_untouched("b.txt", text)

    def test_an_unknown_long_switch_prints_the_usage_and_touches_nothing(self):
        self.make("a.txt", SHIFT_JIS)
        self.make("b.txt", SHIFT_JIS)
        for arguments in (["a.txt", "--output=x", "b.txt"], ["--o", "a.txt"],
                          ["a.txt", "-k", "b.txt", "--keep"]):
            with self.subTest(arguments):
                self.assertEqual(self.run_program("tovrek", *arguments), USAGE["tovrek"])
                self.assert_untouched("a.txt", SHIFT_JIS)
                self.assert_untouched("b.txt", SHIFT_JIS)

    def test_double_dash_makes_every_later_argument_a_name(self):
        for name in ("-memo.txt", "--help", "-n", "--"):
            with self.subTest(name):
                self.make(name, SHIFT_JIS)
                self.make("-k", INVALID["tovrek"])
                self.assertEqual(self.run_program("tovrek", "--", name, "-k"),
                                 message(REJECTION["tovrek"], "-k"))
                self.assertEqual(self.content(name), EUC_JP)
                os.unlink(self.path(name))

    def test_k_keeps_the_modification_time_of_files_named_after_it(self):
        # A file with a second link is rewritten in place, the other replaced by a new file.
        for links in (1, 2):
            with self.subTest(links=links):
                self.make("a.txt", SHIFT_JIS)
                self.make("b.txt", SHIFT_JIS)
                if links == 2:
                    os.link(self.path("b.txt"), self.path("link.txt"))
                self.assertEqual(self.run_program("tovrek", "a.txt", "-k", "b.txt"), b"")
                if not WINDOWS:
                    # Regression: the access time was left out of the change, which some file
                    # systems (bindfs) then dropped whole. Read before the content is.
                    self.assertEqual(os.stat(self.path("b.txt")).st_atime_ns, OLD_NS)
                self.assertEqual((self.content("a.txt"), self.content("b.txt")), (EUC_JP, EUC_JP))
                self.assertNotEqual(os.stat(self.path("a.txt")).st_mtime_ns, OLD_NS)
                self.assertEqual(os.stat(self.path("b.txt")).st_mtime_ns, OLD_NS)
                for name in os.listdir(self.dir):
                    os.unlink(self.path(name))

    @posix_only("slashes that end a name")
    def test_a_name_ending_in_a_slash_names_no_file(self):
        os.mkdir(self.path("sub"))
        self.make("f.txt", SHIFT_JIS)
        self.make("sub/g.txt", SHIFT_JIS)
        os.symlink("f.txt", self.path("link"))
        names = ["f.txt/", "f.txt//", "sub/g.txt/", "link/", "f.txt/."]
        out = self.run_program("tovrek", *names)
        self.assertEqual(out, b"".join(b"Failed to open file: %s\n" % n.encode() for n in names))
        self.assert_untouched("f.txt", SHIFT_JIS)
        self.assert_untouched("sub/g.txt", SHIFT_JIS)

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
        # Refused at a piece, or only once every piece was seen (EUC-JP converted already, over
        # several pieces): on both ways of replacing, nothing of the conversion is left.
        for program, wrong in (("tovrek", EUC_JP + b"\xf0\xa1"), ("grelmat", SHIFT_JIS),
                               ("tovrek", EUC_JP * 4000)):
            for links in (1, 2):
                with self.subTest(program=program, size=len(wrong), links=links):
                    self.make("wrong.txt", wrong)
                    if links == 2:
                        os.link(self.path("wrong.txt"), self.path("link.txt"))
                    out = self.run_program(program, "wrong.txt")
                    self.assertEqual(out, message(CONVERTED_ALREADY[program], "wrong.txt"))
                    self.assert_untouched("wrong.txt", wrong)
                    self.assert_entries("wrong.txt", *(["link.txt"] if links == 2 else []))
                    for name in os.listdir(self.dir):
                        os.unlink(self.path(name))

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
        self.assertEqual(self.run_program("tovrek", "-v", "large.txt", limits=limits),
                         b"Failed to alloc memory\n"
                         b"  no memory for the file's content and its conversion\n")
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


class ForScripts(ScratchTest):
    """--check, -0 and -e: what scripts and CI jobs rely on."""

    def state(self):
        """Every entry of the scratch directory: content, times and inode."""
        entries = {}
        for name in sorted(os.listdir(self.dir)):
            st = os.lstat(self.path(name))
            content = self.content(name) if stat.S_ISREG(st.st_mode) else None
            entries[name] = (content, st.st_mtime_ns, st.st_ctime_ns, st.st_ino, st.st_mode)
        return entries

    def make_kinds(self):
        """One file of each kind a conversion meets, and what a conversion says of each."""
        kinds = {"good.txt": (SHIFT_JIS, None), "empty.txt": (b"", None),
                 "invalid.txt": (INVALID["tovrek"], REJECTION["tovrek"]),
                 "converted.txt": (EUC_JP, CONVERTED_ALREADY["tovrek"]),
                 "utf8.txt": ("カタカナ\r\n".encode("utf-8"), WRITTEN_IN["tovrek"]["UTF-8"]),
                 "utf16.txt": ("a\r\n".encode("utf-16-le"), WRITTEN_IN["tovrek"]["UTF-16"])}
        for name, (content, _) in kinds.items():
            self.make(name, content)
        os.mkdir(self.path("folder"))
        kinds["folder"] = (None, b"Failed to open file: %s\n")
        kinds["missing.txt"] = (None, b"Failed to open file: %s\n")
        if not WINDOWS and os.geteuid() == 0 and shutil.which("chattr"):
            self.make("immutable.txt", SHIFT_JIS)
            subprocess.run(["chattr", "+i", self.path("immutable.txt")], check=True)
            self.addCleanup(subprocess.run, ["chattr", "-i", self.path("immutable.txt")])
            kinds["immutable.txt"] = (SHIFT_JIS, b"Failed to write file: %s\n")
        return kinds

    def test_check_says_what_a_conversion_would_and_changes_nothing(self):
        kinds = self.make_kinds()
        names = list(kinds)
        said = b"".join(message(m, n) for n, (_, m) in kinds.items() if m is not None)
        before = self.state()
        self.assertEqual(self.run_program("tovrek", "--check", "--", *names, status=1), said)
        listed = self.run_program("tovrek", "--check", "-0", "--", *names, status=1)
        self.assertEqual(self.state(), before)
        would = [n for n, (_, m) in kinds.items() if m is None]
        # For xargs -0: the names that would convert, each ended by NUL, and nothing else.
        self.assertEqual(listed, b"".join(n.encode() + b"\0" for n in would))
        self.assertEqual(self.run_program("tovrek", "--check", *would), b"")
        # What the check said is what the conversion says.
        self.assertEqual(self.run_program("tovrek", "-e", "--", *names, status=1), said)
        for name in would:
            self.assertIn(self.content(name), (EUC_JP, b""))

    def test_the_exit_status_tells_only_with_e(self):
        self.make("good.txt", SHIFT_JIS)
        self.make("bad.txt", INVALID["tovrek"])
        for args, status in ((["bad.txt"], 0), (["-e", "bad.txt"], 1), (["bad.txt", "-e"], 1),
                             (["-e", "good.txt"], 0)):
            with self.subTest(args=args):
                self.run_program("tovrek", *args, status=status)


class Reasons(ScratchTest):
    """-v: after each message about a file, one line that says which step failed and why."""

    def explained(self, name, *args, program="tovrek"):
        said = self.run_program(program, "-v", *args, name).splitlines()
        self.assertEqual(len(said), 2, said)
        return said

    def test_a_refusal_says_where_and_which_bytes(self):
        rejected = message(REJECTION["tovrek"], "memo.txt").rstrip(b"\n")
        cases = ((b"abc\r\nde\x80f\r\n", rejected,
                  b"  line 2, column 3: 0x80 cannot begin a character"),
                 (b"\x82\xa0\x82", rejected, b"  line 1, column 3: 0x82 is cut off by the end of the file"),
                 (b"\x82\x20x\r\n", rejected, b"  line 1, column 1: 0x82 0x20 is no character"),
                 (b"a\x00b", rejected, b"  line 1, column 2: 0x00, a NUL byte"),
                 (b"\xef\xbb\xbfabc", message(WRITTEN_IN["tovrek"]["UTF-8"], "memo.txt").rstrip(b"\n"),
                  b"  it begins with a UTF-8 byte order mark (0xEF 0xBB 0xBF)"))
        for content, said, why in cases:
            with self.subTest(content=content):
                self.make("memo.txt", content)
                self.assertEqual(self.explained("memo.txt"), [said, why])
        # With -w, the three-byte form of a character Windows has no code for.
        self.make("memo.txt", b"\x8f\xb0\xa1\n")
        self.assertEqual(self.explained("memo.txt", "-w", program="grelmat")[1],
                         b"  line 1, column 1: 0x8F 0xB0 0xA1 is no character")
        # Bytes both encodings hold, read as likelier text in the other.
        self.make("memo.txt", "ｱｲｳ\n".encode("euc_jp"))
        said, why = self.explained("memo.txt")
        self.assertRegex(why, rb"^  read as EUC-JP it is at least as likely Japanese text as read "
                              rb"as ShiftJIS \([0-9.]+ bits against [0-9.]+\)$")
        # Without -v, the message alone, as ever.
        self.assertEqual(self.run_program("tovrek", "memo.txt"),
                         message(CONVERTED_ALREADY["tovrek"], "memo.txt"))

    def test_a_failure_to_open_says_which_step_and_why(self):
        os.mkdir(self.path("folder"))
        self.assertEqual(self.explained("folder")[1], b"  not a regular file")
        why = self.explained("missing.txt")[1]
        if WINDOWS:
            self.assertRegex(why, rb"^  opening for reading: \S")
        else:
            self.assertEqual(why, b"  looking the name up: No such file or directory")
        with open(self.path("big.txt"), "wb") as f:
            f.truncate(1 << 20)
        self.assertEqual(self.explained("big.txt")[1],
                         b"  files of 1,048,576 bytes or more are not converted")

    @posix_only("strace, flock(2) and other users")
    def test_a_failure_to_write_says_which_step_and_why(self):
        os.chmod(self.dir, 0o755)
        # With a second link the file is rewritten in place, after a backup.
        cases = ((1, "fsync:error=EIO:when=1",
                  b"flushing the temporary file to disk: Input/output error"),
                 (1, "pwrite64:error=ENOSPC", b"writing the temporary file: No space left on device"),
                 (1, "renameat2:error=EPERM",
                  b"exchanging the new file for the file: Operation not permitted"),
                 (1, "flistxattr:error=EIO",
                  b"reading the file's permissions and attributes: Input/output error"),
                 (2, "pwrite64:error=ENOSPC:when=1", b"writing the backup: No space left on device"),
                 (2, "fsync:error=EIO:when=1", b"flushing the backup to disk: Input/output error"),
                 (2, "pwrite64:error=EIO:when=2", b"writing the file: Input/output error"),
                 (2, "ftruncate:error=EIO:when=1", b"finishing the file: Input/output error"))
        for links, failure, why in cases:
            with self.subTest(failure=failure, links=links):
                for name in os.listdir(self.dir):
                    os.unlink(self.path(name))
                self.make("memo.txt", SHIFT_JIS)
                if links == 2:
                    os.link(self.path("memo.txt"), self.path("link.txt"))
                result = subprocess.run(["strace", "-qq", "-o", "/dev/null", "-e", f"inject={failure}",
                                         PROGRAMS["tovrek"], "-v", "memo.txt"],
                                        cwd=self.dir, capture_output=True, timeout=30,
                                        env={**os.environ, "ASAN_OPTIONS": "detect_leaks=0"})
                self.assertEqual(result.stdout.splitlines(),
                                 [b"Failed to write file: memo.txt", b"  " + why])
                self.assert_untouched("memo.txt", SHIFT_JIS)
        for name in os.listdir(self.dir):
            os.unlink(self.path(name))
        # The folder is flushed once, when the run ends, and reported then.
        self.make("a.txt", SHIFT_JIS)
        result = subprocess.run(["strace", "-qq", "-o", "/dev/null", "-e",
                                 "inject=fsync:error=EIO:when=2", PROGRAMS["tovrek"], "-v",
                                 "a.txt"], cwd=self.dir, capture_output=True, timeout=30,
                                env={**os.environ, "ASAN_OPTIONS": "detect_leaks=0"})
        self.assertEqual(result.stdout, b"Failed to write file: a.txt\n"
                                        b"  flushing the folder to disk: Input/output error\n")
        self.make("memo.txt", SHIFT_JIS, mode=0o644)
        self.assertEqual(self.run_program("tovrek", "-v", "memo.txt", user=NOBODY).splitlines()[1],
                         b"  asking whether the file may be written: Permission denied")
        with open(self.path("memo.txt"), "rb") as held:
            fcntl.flock(held, fcntl.LOCK_EX)
            self.assertEqual(self.explained("memo.txt")[1],
                             b"  another program held the file's lock for 5 seconds")
