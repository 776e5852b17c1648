"""Makes the package of a build and checks what it would install.

    check_package.py <cpack> <build directory> deb|zip

deb: the package's contents are unpacked into a staging directory; both programs must be in
usr/bin and run, both manual pages must be in usr/share/man/man1 and render without warnings, the
copyright file and changelog must be in usr/share/doc, and lintian must find nothing (but the
placeholder maintainer address, where the build has it), nor, in a hardened build, any lack of
hardening.
zip: the archive must hold the two .exe files, the plain-text manual and the licence, both with
CR LF line ends.
"""

import glob
import gzip
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

PROGRAMS = ("tovrek", "grelmat")


def fail(text):
    sys.exit(f"check_package: {text}")


def make_package(cpack, build, generator, out):
    subprocess.run([cpack, "-G", generator, "-B", out, "--config",
                    os.path.join(build, "CPackConfig.cmake")],
                   check=True, stdout=subprocess.DEVNULL)
    found = glob.glob(os.path.join(out, "*." + generator.lower()))
    if len(found) != 1:
        fail(f"expected one package in {out}, found {found}")
    return found[0]


def check_deb(package, stage, hardened):
    subprocess.run(["dpkg-deb", "-x", package, stage], check=True)
    for program in PROGRAMS:
        executable = os.path.join(stage, "usr", "bin", program)
        if not os.access(executable, os.X_OK):
            fail(f"{program} is not installed as an executable")
        usage = subprocess.run([executable], capture_output=True, check=True).stdout
        if not usage.startswith(f"Usage: {program} [ -n | -c ]".encode()):
            fail(f"{program} does not run: {usage!r}")
        page = os.path.join(stage, "usr", "share", "man", "man1", program + ".1.gz")
        if not os.path.isfile(page):
            fail(f"no manual page {page}")
        rendered = subprocess.run(["man", "--warnings", "-l", page], capture_output=True,
                                  env={**os.environ, "MANWIDTH": "80", "LC_ALL": "C.UTF-8"})
        if rendered.returncode != 0 or rendered.stderr:
            fail(f"{page} renders with warnings: {rendered.stderr.decode()}")
        for text in (b"SYNOPSIS", b"MESSAGES", b"SAFETY", b"EXAMPLES", b"Failed to write file",
                     b"/var/tmp", b"folder/*.txt"):
            if text not in rendered.stdout:
                fail(f"{page} has no {text.decode()}")
        for text in (b"NTFS", b"cmd"):
            if text in rendered.stdout:
                fail(f"{page} describes Windows: {text.decode()}")
    documents = os.path.join(stage, "usr", "share", "doc", "tovrek-grelmat")
    with open(os.path.join(documents, "copyright"), encoding="utf-8") as f:
        copyright_file = f.read()
    for field in ("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/",
                  "Files: *", "License: Expat", " Permission is hereby granted"):
        if field not in copyright_file:
            fail(f"the copyright file has no {field!r}")
    with gzip.open(os.path.join(documents, "changelog.gz"), "rt", encoding="utf-8") as f:
        if not f.readline().startswith("tovrek-grelmat (1.0.0)"):
            fail("the changelog does not start with this version")
    check_lintian(package, hardened)
    control = subprocess.run(["dpkg-deb", "-f", package, "Package", "Depends"],
                             capture_output=True, check=True).stdout.decode()
    print(control, end="")


# Only a real maintainer's address can mend these; the package carries a placeholder.
# What lintian says of the placeholder maintainer address of a build not meant to be shipped.
PLACEHOLDER_TAGS = {"bogus-mail-host", "bogus-mail-host-in-debian-changelog"}


def check_lintian(package, hardened):
    if not shutil.which("lintian"):
        fail("lintian is not installed")
    result = subprocess.run(["lintian", "-I", "--tag-display-limit", "0", package],
                            capture_output=True, text=True)
    # Errors and warnings, and, for a build meant to be hardened (not one for the sanitizers),
    # the notes that the programs lack Debian's hardening.
    tags = [line for line in result.stdout.splitlines()
            if line[:2] in ("E:", "W:") or (hardened and line[:2] == "I:" and "hardening" in line)]
    maintainer = subprocess.run(["dpkg-deb", "-f", package, "Maintainer"], capture_output=True,
                                text=True, check=True).stdout.strip()
    accepted = PLACEHOLDER_TAGS if maintainer.endswith("@localhost>") else set()
    unexpected = [line for line in tags if line.split()[2] not in accepted]
    if unexpected:
        fail("lintian reports:\n" + "\n".join(unexpected))


def check_zip(package):
    with zipfile.ZipFile(package) as archive:
        names = {os.path.basename(name): name for name in archive.namelist()
                 if not name.endswith("/")}
        if sorted(names) != ["LICENSE.txt", "MANUAL.txt", "grelmat.exe", "tovrek.exe"]:
            fail(f"unexpected contents {sorted(names)}")
        manual = archive.read(names["MANUAL.txt"])
        license_text = archive.read(names["LICENSE.txt"])
    for name, text in (("manual", manual), ("licence", license_text)):
        if b"\n" in text.replace(b"\r\n", b""):
            fail(f"the {name} has line ends other than CR LF")
    if not license_text.startswith(b"MIT License\r\n"):
        fail("the licence is not the MIT licence")
    for program in PROGRAMS:
        if f"{program.upper()}(1)".encode() not in manual:
            fail(f"the manual has no page for {program}")
    # The Windows programs' own behaviour and commands, none of the POSIX systems'.
    for text in (b".NAME.XXXXXXXX.bak", b"share mode", b'for %f in (folder\\*.txt) do tovrek "%f"'):
        if text not in manual:
            fail(f"the manual does not say {text.decode()}")
    for text in (b"/var/tmp", b"SIGKILL", b"/proc", b"folder/*.txt", b"swaps back"):
        if text in manual:
            fail(f"the manual describes POSIX systems: {text.decode()}")
    if b"\x08" in manual or b"\x1b" in manual:
        fail("the manual holds terminal control sequences")


def main():
    cpack, build, kind, hardening = sys.argv[1:5]
    with tempfile.TemporaryDirectory(prefix="converter-package-") as scratch:
        if kind == "deb":
            check_deb(make_package(cpack, build, "DEB", os.path.join(scratch, "out")),
                      os.path.join(scratch, "stage"), hardening == "hardened")
        else:
            check_zip(make_package(cpack, build, "ZIP", os.path.join(scratch, "out")))


if __name__ == "__main__":
    main()
