"""Makes the package of a build and checks what it would install.

    check_package.py <cpack> <build directory> deb|zip

deb: the package's contents are unpacked into a staging directory; both programs must be in
usr/bin and run, and both manual pages must be in usr/share/man/man1 and render without warnings.
zip: the archive must hold the two .exe files and the plain-text manual with CR LF line ends.
"""

import glob
import os
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


def check_deb(package, stage):
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
        for text in (b"SYNOPSIS", b"MESSAGES", b"SAFETY", b"EXAMPLES", b"Failed to write file"):
            if text not in rendered.stdout:
                fail(f"{page} has no {text.decode()}")
    control = subprocess.run(["dpkg-deb", "-f", package, "Package", "Depends"],
                             capture_output=True, check=True).stdout.decode()
    print(control, end="")


def check_zip(package):
    with zipfile.ZipFile(package) as archive:
        names = {os.path.basename(name): name for name in archive.namelist()
                 if not name.endswith("/")}
        if sorted(names) != ["MANUAL.txt", "grelmat.exe", "tovrek.exe"]:
            fail(f"unexpected contents {sorted(names)}")
        manual = archive.read(names["MANUAL.txt"])
    if b"\n" in manual.replace(b"\r\n", b""):
        fail("the manual has line ends other than CR LF")
    for program in PROGRAMS:
        if f"{program.upper()}(1)".encode() not in manual:
            fail(f"the manual has no page for {program}")
    if b"\x08" in manual or b"\x1b" in manual:
        fail("the manual holds terminal control sequences")


def main():
    cpack, build, kind = sys.argv[1:4]
    with tempfile.TemporaryDirectory(prefix="converter-package-") as scratch:
        if kind == "deb":
            check_deb(make_package(cpack, build, "DEB", os.path.join(scratch, "out")),
                      os.path.join(scratch, "stage"))
        else:
            check_zip(make_package(cpack, build, "ZIP", os.path.join(scratch, "out")))


if __name__ == "__main__":
    main()
