"""The CI install script against stand-ins for Debian's package tools that fail as the archive does
while it is part-way through an update. Needs no network and changes nothing on the machine."""

import os
import pathlib
import subprocess
import tempfile
import textwrap
import unittest

SCRIPT = pathlib.Path(__file__).resolve().parents[2] / ".ci" / "install"

# Each stand-in logs its arguments and answers from files in the state folder: "missing" (packages
# not installed), "update_failures" (how many updates fail; -1 for all), "install" (ok, release or
# never: release accepts only the release's versions with the blocking library named for both
# architectures).
STUBS = {
    "apt-get": r"""
        echo "apt-get $*" >>"$STATE/calls"
        case "$1" in
        update)
          n=$(cat "$STATE/update_failures")
          if [ "$n" != 0 ]; then
            [ "$n" -gt 0 ] && echo $((n - 1)) >"$STATE/update_failures"
            echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?"
            exit 100
          fi ;;
        install)
          case "$(cat "$STATE/install")" in
          never) exit 100 ;;
          release)
            for needed in "-t bookworm" --allow-downgrades zlib1g:amd64=1:1.2.13.dfsg-1 \
                          zlib1g:i386=1:1.2.13.dfsg-1; do
              case " $* " in *" $needed "*) ;; *) echo "E: held broken packages"; exit 100 ;; esac
            done ;;
          esac
          : >"$STATE/missing" ;;
        esac
    """,
    "apt-cache": r"""
        echo "apt-cache $*" >>"$STATE/calls"
        case "$1" in
        depends) printf 'wine32:i386\n  Depends: zlib1g:i386\n  Depends: libfine:i386\nzlib1g:i386\nlibfine:i386\n<libvirtual:i386>\n' ;;
        madison)
          printf '    zlib1g | 1:1.2.13.dfsg-1+deb12u1 | http://deb.debian.org/debian-security bookworm-security/main amd64 Packages\n'
          printf '    zlib1g | 1:1.2.13.dfsg-1 | http://deb.debian.org/debian bookworm/main amd64 Packages\n'
          printf '  libfine | 2.0-1 | http://deb.debian.org/debian bookworm/main amd64 Packages\n' ;;
        esac
    """,
    "dpkg": r"""
        case "$1" in
        --print-architecture) echo amd64 ;;
        --print-foreign-architectures) echo i386 ;;
        *) echo "dpkg $*" >>"$STATE/calls" ;;
        esac
    """,
    "dpkg-query": r"""
        case "$*" in
        *Status-Abbrev*)
          printf 'ii  zlib1g 1:1.2.13.dfsg-1+deb12u1 same\nii  libfine 2.0-1 same\nii  libother 1.0 same\nii  make 4.3 foreign\n' ;;
        *) grep -qxF -- "$3" "$STATE/missing" && exit 1; printf 'install ok installed' ;;
        esac
    """,
    "sudo": 'exec "$@"',
}


class Install(unittest.TestCase):
    def run_install(self, missing, update_failures=0, install="ok"):
        with tempfile.TemporaryDirectory() as scratch:
            root = pathlib.Path(scratch)
            bin_dir, state = root / "bin", root / "state"
            bin_dir.mkdir()
            state.mkdir()
            for name, body in STUBS.items():
                stub = bin_dir / name
                stub.write_text("#!/bin/sh\n" + textwrap.dedent(body))
                stub.chmod(0o755)
            (state / "missing").write_text("".join(m + "\n" for m in missing))
            (state / "update_failures").write_text(f"{update_failures}\n")
            (state / "install").write_text(install)
            (state / "calls").write_text("")
            (root / "os-release").write_text('ID=debian\nVERSION_CODENAME=bookworm\n')
            env = dict(os.environ, PATH=f"{bin_dir}:/usr/bin:/bin", STATE=str(state),
                       CI_INSTALL_OS_RELEASE=str(root / "os-release"),
                       CI_INSTALL_RETRY_PAUSE="0", CI_INSTALL_UPDATE_ATTEMPTS="3")
            result = subprocess.run([SCRIPT], env=env, capture_output=True, text=True, timeout=60)
            calls = (state / "calls").read_text().splitlines()
        return result, [c for c in calls if c.startswith("apt-get")]

    def test_scenarios(self):
        wine = ["wine32:i386"]
        cases = [
            # name, missing, update failures, install, exit, apt-get calls (prefixes), output has
            ("nothing missing", [], 0, "ok", 0, [], None),
            ("update fails once", wine, 1, "ok", 0,
             ["apt-get update", "apt-get update", "apt-get install"], None),
            ("update always fails", wine, -1, "ok", 0,
             ["apt-get update"] * 3 + ["apt-get install"], "could not be fetched after 3 tries"),
            ("install needs the release's versions", wine, 0, "release", 0,
             ["apt-get update", "apt-get install", "apt-get install"],
             "zlib1g:amd64=1:1.2.13.dfsg-1 zlib1g:i386=1:1.2.13.dfsg-1"),
            ("install refused", ["clang"] + wine, -1, "never", 1,
             ["apt-get update"] * 3 + ["apt-get install"] * 2,
             "could not install: clang wine32:i386"),
        ]
        for name, missing, failures, install, status, calls, said in cases:
            with self.subTest(name):
                result, made = self.run_install(missing, failures, install)
                output = result.stdout + result.stderr
                self.assertEqual(result.returncode, status, output)
                self.assertEqual([c.split(" -")[0].split(" ")[:2] for c in made],
                                 [c.split(" ") for c in calls], made)
                if said:
                    self.assertIn(said, output)
                if install == "release":
                    # Only the library installed at a version the release lacks is named.
                    self.assertNotIn("libfine", made[-1])
                    self.assertNotIn("libother", made[-1])
                self.assertEqual("could not be fetched" in output, failures < 0, output)


if __name__ == "__main__":
    unittest.main()
