"""How a file is replaced: kept whole, with everything it had, and only if it is a regular file."""

import glob
import os
import resource
import shutil
import socket
import stat
import subprocess
import unittest

from support import (PROGRAMS, WINDOWS, SHIFT_JIS, EUC_JP, INVALID, REJECTION, NOBODY, message,
                     posix_only, tool, ScratchTest)


class SafeReplacement(ScratchTest):
    # Nearly doubles in size when converted to EUC-JP; an odd count a line, so that it cannot pass
    # for EUC-JP converted already.
    KANA = (b"\xb1" * 99 + b"\r\n") * 30
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

    @posix_only("strace on the program itself")
    @tool("strace")
    def test_a_batch_is_flushed_together_and_each_file_takes_its_place_after_its_own_flush(self):
        # Write-back of a group's temporary files starts before the first takes its file's place,
        # and each is flushed just before its own exchange. The first file goes alone, since
        # nothing is known of the disk before a flush. A file named again while it waits (f1.txt)
        # ends the group first and is converted twice; messages keep the order of names.
        names = [f"f{i}.txt" for i in range(6)]
        for name in names + ["twice.txt"]:
            self.make(name, INVALID["tovrek"] if name == "f3.txt" else SHIFT_JIS)
        for _ in range(2):
            self.run_program("tovrek", "-n", "twice.txt")
        log = self.path("strace.log")
        result = subprocess.run(["strace", "-qq", "-o", log, "-e",
                                 "trace=sync_file_range,fsync,renameat2", PROGRAMS["tovrek"], "-n",
                                 "f0.txt", "f1.txt", "f2.txt", "f1.txt", "-c", "f3.txt", "-n",
                                 "f4.txt", "f5.txt"], cwd=self.dir, capture_output=True,
                                timeout=30, env={**os.environ, "ASAN_OPTIONS": "detect_leaks=0"})
        self.assertEqual(result.stdout, message(REJECTION["tovrek"], "f3.txt"))
        with open(log) as f:
            calls = [line.split("(")[0] for line in f]
        def group(files):
            return ["sync_file_range"] * files + ["fsync", "renameat2"] * files

        self.assertEqual(calls, group(1) + group(2) + group(3) + ["fsync"])
        self.assertEqual(self.content("f1.txt"), self.content("twice.txt"))
        for name in ("f0.txt", "f2.txt", "f4.txt", "f5.txt"):
            self.assertEqual(self.content(name), EUC_JP, name)
        self.assert_untouched("f3.txt", INVALID["tovrek"])
        os.unlink(log)
        self.assert_entries(*names, "twice.txt")

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
        self.mount("-t", "overlay", "overlay", "-o", layers, self.path("merged"))
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

    @tool("strace")
    def test_append_only_and_immutable_files_are_refused_before_a_temporary_file(self):
        # Regression: the check saw only the carried flags, so an append-only file got a whole
        # temporary file written before the exchange failed.
        for flag in ("+a", "+i"):
            with self.subTest(flag=flag):
                name = f"memo{flag[1]}.txt"
                path = self.make(name, SHIFT_JIS)
                subprocess.run(["chattr", flag, path], check=True)
                self.addCleanup(subprocess.run, ["chattr", "-a", "-i", path])
                log = self.path(f"strace{flag[1]}.log")
                result = subprocess.run(["strace", "-f", "-qq", "-o", log, "-e", "trace=openat",
                                         PROGRAMS["tovrek"], name], cwd=self.dir,
                                        capture_output=True, timeout=30)
                self.assertEqual(result.stdout, f"Failed to write file: {name}\n".encode())
                with open(log) as f:
                    self.assertNotIn("O_TMPFILE", f.read())
                self.assertEqual(self.content(name), SHIFT_JIS)

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
