"""What the end-to-end tests share: the programs under test, texts in both encodings, and a
scratch directory per test with helpers to make files and run the programs in it.

The programs come from the TOVREK and GRELMAT environment variables. Every run must end with
exit status 0 and print nothing on standard error, whatever happens to the files.

For Windows programs, TARGET_SYSTEM is "Windows" and PROGRAM_RUNNER names the emulator that runs
them. Their messages end in CR LF; the tests that need what only POSIX systems have are skipped.
"""

import atexit
import os
import platform
import re
import resource
import shutil
import signal
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
           "    -c   Check encoding (Default)\n"
           "    -k   Keep each converted file's modification time\n"
           "    -w   Also convert IBM's extensions of Windows' Shift_JIS (FA 40-FC 4B)\n"
           "    -v   After each message about a file, say why\n"
           "    -e   Exit with status 1 when a file was not converted\n"
           "    --check   Convert nothing; say which files would not be converted, exit status 1 if any\n"
           "    -0   With --check: print only the names of the files that would be, each ended by NUL\n"
           "    --   End the switches: every later argument is a file name\n"
           "    -h, --help   Print this text\n"
           "    --version    Print the program's name and version\n").encode()
    for name in PROGRAMS
}
VERSION = "1.0.0"
REJECTION = {
    "tovrek": b"File is NOT written in ShiftJIS: %s\n",
    "grelmat": b"File is NOT written in EUC-JP: %s\n",
}
# What each program says of text in another encoding: the other program's, UTF-8 and UTF-16.
WRITTEN_IN = {
    program: {other: REJECTION[program].replace(b": %s", b" but in " + other.encode() + b": %s")
              for other in ("ShiftJIS", "EUC-JP", "UTF-8", "UTF-16")}
    for program in PROGRAMS
}
CONVERTED_ALREADY = {"tovrek": WRITTEN_IN["tovrek"]["EUC-JP"],
                     "grelmat": WRITTEN_IN["grelmat"]["ShiftJIS"]}
# Bytes that fail each program's check, and no other encoding's: a lead with no valid trail.
INVALID = {"tovrek": b"\x80\x40", "grelmat": b"\x80\x40"}
CONVERTED_INVALID = {"tovrek": b"\x9f\xa1", "grelmat": b"\x70\xbe"}

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


@atexit.register
def _remove_programs_for_everyone():
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

    def run_program(self, program, *args, user=None, limits=None, timeout=30, env=None,
                    status=0):
        """Runs a program in the scratch directory, as another user or under resource limits;
        it must end with the exit status given."""
        executable = PROGRAMS[program] if user is None else program_for_everyone(program)
        # Emulated Wine now and then hangs a process for good; such a run is tried once more.
        for attempt in range(2 if RUNNER else 1):
            try:
                result = subprocess.run(
                    [*RUNNER, executable, *args], cwd=self.dir, capture_output=True,
                    timeout=timeout * TIME_SCALE, preexec_fn=limited(limits or {}),
                    restore_signals=False, user=user, group=user,
                    extra_groups=[] if user is not None else None,
                    env=None if env is None else {**os.environ, **env})
                break
            except subprocess.TimeoutExpired:
                if attempt > 0 or not RUNNER:
                    raise
        self.assertEqual(result.returncode, status)
        self.assertEqual(result.stderr, b"")
        if not WINDOWS:
            return result.stdout
        # Standard output is a text stream there: every line of a message ends in CR LF.
        self.assertIsNone(re.search(rb"(?<!\r)\n", result.stdout), result.stdout)
        return result.stdout.replace(b"\r\n", b"\n")

    def mount(self, *args):
        """Mounts a file system for this test, or skips it where the kernel has no such mount."""
        result = subprocess.run(["mount", *args], capture_output=True)
        if result.returncode != 0:
            self.skipTest(f"cannot mount here: {result.stderr.decode(errors='replace').strip()}")
        self.addCleanup(subprocess.run, ["umount", args[-1]])

    # The numbers of the system calls a test holds a program at the entry of, by processor.
    SYSCALL_NUMBERS = {"x86_64": {"fsync": 74, "renameat2": 316},
                       "aarch64": {"fsync": 82, "renameat2": 276}}

    def wait_until_held_at(self, process, call):
        """Waits until the program that strace (process) runs is held at the entry of call, as
        strace's delay_enter holds it."""
        numbers = self.SYSCALL_NUMBERS.get(platform.machine())
        if numbers is None:
            self.skipTest(f"system call numbers of {platform.machine()} are not listed")
        deadline = time.monotonic() + 20 * TIME_SCALE
        while time.monotonic() < deadline:
            try:
                with open(f"/proc/{process.pid}/task/{process.pid}/children") as f:
                    program = int(f.read().split()[0])
                with open(f"/proc/{program}/syscall") as f:
                    if f.read().split()[0] == str(numbers[call]):
                        return
            except (OSError, IndexError, ValueError):
                pass
            time.sleep(0.01)
        self.fail(f"the program was never held at {call}")

    def mount_one_second_times(self, name):
        """Mounts at the new directory name a file system whose times move once a second (ext4
        with 128-byte inodes), where a change within a second shows in no time."""
        subprocess.run(["truncate", "-s", "16M", self.path("fs.img")], check=True)
        subprocess.run(["mkfs.ext4", "-q", "-I", "128", self.path("fs.img")], check=True,
                       capture_output=True)
        os.mkdir(self.path(name))
        self.mount("-o", "loop", self.path("fs.img"), self.path(name))

    def mount_fuse(self, source, target):
        """Mounts source again at target through FUSE (bindfs), or skips where FUSE is missing."""
        result = subprocess.run(["bindfs", source, target], capture_output=True)
        if result.returncode != 0:
            self.skipTest(f"cannot mount FUSE here: {result.stderr.decode(errors='replace')}")
        self.addCleanup(subprocess.run, ["umount", target])

    def content(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def assert_untouched(self, name, content):
        self.assertEqual(self.content(name), content)
        self.assertEqual(os.stat(self.path(name)).st_mtime_ns, OLD_NS)

    def assert_entries(self, *names, directory=None):
        self.assertEqual(sorted(os.listdir(directory or self.dir)), sorted(names))


class Paused(ScratchTest):
    """Runs a program under strace, held at a chosen system call on one file, to act meanwhile."""

    def start_paused(self, program, *args, path=None, call, when=1, seconds=2, stdout=None,
                     inject=(), blocked=()):
        log_dir = tempfile.mkdtemp(prefix="converter-strace-")
        self.addCleanup(shutil.rmtree, log_dir, ignore_errors=True)
        self.log = os.path.join(log_dir, "log")
        # -P limits the delay to calls on that file; the line appears once the call is held.
        command = ["strace", "-f", "-qq", "-o", self.log, *(["-P", path] if path else []), "-e",
                   f"inject={call}:delay_exit={seconds * 1_000_000}:when={when}",
                   *(f"--inject={extra}" for extra in inject), *RUNNER, PROGRAMS[program], *args]
        def prepare():
            limited({})()
            signal.pthread_sigmask(signal.SIG_BLOCK, blocked)

        process = subprocess.Popen(command, cwd=self.dir, stdout=stdout or subprocess.PIPE,
                                   stderr=subprocess.PIPE, preexec_fn=prepare,
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
