"""Other users: their permissions, and the links they plant."""

import glob
import os
import shutil
import stat
import subprocess
import tempfile
import unittest

from support import (PROGRAMS, SHIFT_JIS, EUC_JP, INVALID, REJECTION, NOBODY, posix_only, tool,
                     message, program_for_everyone, ScratchTest)


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

    @tool("setpriv")
    @tool("unshare")
    def test_files_convert_where_proc_is_missing(self):
        # Regression: in a chroot or container without /proc the unnamed temporary file could not
        # be named, so every file with one link got "Failed to write file". Root names it by its
        # descriptor; a user without that right gets a named temporary file from the start.
        if os.environ.get("SANITIZED"):
            self.skipTest("the sanitizers' runtime reads /proc itself")
        self.make_owned("root.txt", SHIFT_JIS, 0o644)
        self.make_owned("user.txt", SHIFT_JIS, 0o644)
        program = program_for_everyone("tovrek")
        script = ('umount -l /proc && cd "$1" && "$2" root.txt && '
                  'exec setpriv --reuid=nobody --regid=nogroup --clear-groups "$2" user.txt')
        result = subprocess.run(["unshare", "--mount", "sh", "-c", script, "sh", self.dir,
                                 program], capture_output=True, timeout=30)
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, b"", b""))
        self.assertEqual((self.content("root.txt"), self.content("user.txt")), (EUC_JP, EUC_JP))
        self.assert_entries("root.txt", "user.txt")

    def test_read_only_file_is_not_replaced(self):
        # A file the check refuses says so first, whether or not it could have been written.
        for text, said in ((SHIFT_JIS, b"Failed to write file: memo.txt\n"),
                           (INVALID["tovrek"], message(REJECTION["tovrek"], "memo.txt"))):
            with self.subTest(said=said):
                self.make_owned("memo.txt", text, 0o444)
                out = self.run_program("tovrek", "memo.txt", user=NOBODY)
                self.assertEqual(out, said)
                self.assert_untouched("memo.txt", text)
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
