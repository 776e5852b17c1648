"""Times the whole programs beside the floors of a durable replacement and the peers installed.

    process_bench.py <tovrek> <grelmat> <work directory> [--runs N] [--wine RUNNER EXE_DIR]

Builds the floor programs with the C compiler (floor.c: the file read into memory of its size;
stream_floor.c: the same streamed through one 64 KiB buffer; group_floor.c: a batch whose copies
are all written, then flushed together, then renamed in order), makes the inputs
(make_inputs.py), and runs hyperfine over, per direction: the program converting a 1 MB file in
place, both single-file floors on the same file, and whichever peers are installed (iconv, uconv
and nkf converting to a pipe, dos2unix or unix2dos rewriting line ends in place); then the
program and the two floors that take many files over a batch of 1,000 files of 10 KB. Each
in-place run gets a fresh copy of its input first, outside the timing. Prints one table of
medians, each with its ratio to the floor it is held against (the streaming floor for one file,
the group-commit floor for the batch) and to the fastest peer, the peak resident memory of each
program on a 1,048,575-byte file, and draws the table as process_bench.svg in the work directory
(with gnuplot, when installed). With --wine, also times the Windows programs of the build tree
EXE_DIR (<program>/<program>.exe) on the 1 MB files through RUNNER, the build's wine-run, whose
session it starts first.
"""

import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

# Per direction: the input, and the peers as (name, command with {file}, whether in place).
DIRECTIONS = {
    "Shift_JIS → EUC-JP": ("japanese.sjis", "tovrek", [
        ("iconv", "iconv -f SHIFT_JIS -t EUC-JP {file}"),
        ("uconv", "uconv -f shift_jis -t euc-jp {file}"),
        ("nkf", "nkf -e -Lu {file}"),
        ("dos2unix", "dos2unix -q {file}"),
    ]),
    "EUC-JP → Shift_JIS": ("japanese.euc", "grelmat", [
        ("iconv", "iconv -f EUC-JP -t SHIFT_JIS {file}"),
        ("uconv", "uconv -f euc-jp -t shift_jis {file}"),
        ("nkf", "nkf -s -Lw {file}"),
        ("unix2dos", "unix2dos -q {file}"),
    ]),
}


def hyperfine(commands, prepare, runs, work):
    """Medians in milliseconds of each command, in order."""
    out = os.path.join(work, "hyperfine.json")
    arguments = ["hyperfine", "-N", "--warmup", "3", "--runs", str(runs), "--export-json", out,
                 "--style", "none"]
    for command in commands:
        arguments += ["--prepare", prepare, command]
    # Without a shell (-N), a --prepare command is split into words as well, not run by sh.
    subprocess.run(arguments, cwd=work, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    with open(out) as f:
        results = json.load(f)["results"]
    return [statistics.median(result["times"]) * 1000 for result in results]


def peak_memory_kb(program, work):
    path = os.path.join(work, "largest.txt")
    with open(path, "wb") as f:
        f.write((b"\x82\xa0\x88\x9f\xb1 line\r\n" * 100_000)[:0xFFFFF])
    result = subprocess.run(["/usr/bin/time", "-v", program, "-n", path], capture_output=True,
                            check=True)
    return int(re.search(rb"Maximum resident set size \(kbytes\): (\d+)", result.stderr).group(1))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("tovrek")
    parser.add_argument("grelmat")
    parser.add_argument("work")
    parser.add_argument("--runs", type=int, default=40)
    parser.add_argument("--wine", nargs=2, metavar=("RUNNER", "EXE_DIR"))
    args = parser.parse_args()
    if not shutil.which("hyperfine"):
        sys.exit("process_bench: needs hyperfine (Debian package hyperfine)")
    programs = {"tovrek": os.path.abspath(args.tovrek), "grelmat": os.path.abspath(args.grelmat)}
    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    floors = {}
    for name in ("floor", "stream_floor", "group_floor"):
        floors[name] = os.path.join(work, name)
        subprocess.run([os.environ.get("CC", "cc"), "-O2", "-o", floors[name],
                        os.path.join(HERE, name + ".c")], check=True)
    subprocess.run([sys.executable, os.path.join(HERE, "make_inputs.py"), work], check=True)

    rows = []  # (direction, what, median ms, ratio to its floor, ratio to fastest peer)
    for direction, (input_name, program, peers) in DIRECTIONS.items():
        installed = [(name, command) for name, command in peers
                     if shutil.which(command.split()[0])]
        commands = [f"{programs[program]} work.txt", f"{floors['floor']} work.txt",
                    f"{floors['stream_floor']} work.txt"]
        commands += [command.format(file="work.txt") for _, command in installed]
        names = [program, "floor", "streaming floor"] + [name for name, _ in installed]
        if args.wine:
            runner, exe_dir = os.path.abspath(args.wine[0]), args.wine[1]
            subprocess.run([runner, "--start-session"], check=True)
            exe = os.path.join(os.path.abspath(exe_dir), program, program + ".exe")
            commands.append(f"{runner} {exe} work.txt")
            names.append(f"{program}.exe under Wine")
        medians = hyperfine(commands, f"cp {input_name} work.txt", args.runs, work)
        results = dict(zip(names, medians))
        peer_times = [results[name] for name, _ in installed]
        fastest = min(peer_times) if peer_times else None
        for name in names:
            rows.append((direction, f"1 MB: {name}", results[name],
                         results[name] / results["streaming floor"],
                         results[name] / fastest if fastest else None))

        batch = "batch." + input_name.split(".")[1]
        files = " ".join(f"batch/{name}" for name in sorted(os.listdir(os.path.join(work,
                                                                                    batch))))
        medians = hyperfine([f"{programs[program]} {files}", f"{floors['floor']} {files}",
                             f"{floors['group_floor']} {files}"],
                            f"sh -c 'rm -rf batch && cp -r {batch} batch'", max(5, args.runs // 4),
                            work)
        for name, median in zip((program, "floor", "group-commit floor"), medians):
            rows.append((direction, f"1,000 × 10 KB: {name}", median, median / medians[2], None))

    print(f"| direction | what | median | × its floor | × fastest peer |")
    print(f"|---|---|---|---|---|")
    for direction, what, median, to_floor, to_peer in rows:
        peer = f"{to_peer:.2f}" if to_peer is not None else ""
        print(f"| {direction} | {what} | {median:.2f} ms | {to_floor:.2f} | {peer} |")
    for program, path in programs.items():
        print(f"peak resident memory of {program} on a 1,048,575-byte file: "
              f"{peak_memory_kb(path, work)} KB")

    if shutil.which("gnuplot"):
        data = os.path.join(work, "process_bench.dat")
        with open(data, "w") as f:
            for direction, what, median, _, _ in rows:
                if what.startswith("1 MB"):
                    label = f"{what[6:]} ({'SJIS→EUC' if direction.startswith('Shift') else 'EUC→SJIS'})"
                    f.write(f'"{label}" {median:.3f}\n')
        chart = os.path.join(work, "process_bench.svg")
        script = (f'set terminal svg size 900,420 font "sans,11"; set output "{chart}";'
                  'set style fill solid 0.6; set boxwidth 0.7; set logscale y;'
                  'set ylabel "median ms, 1 MB file (log scale)";'
                  'set xtics rotate by -35; set grid ytics; unset key;'
                  f'plot "{data}" using 0:2:xtic(1) with boxes')
        subprocess.run(["gnuplot", "-e", script], check=True)
        print(f"chart: {chart}")


if __name__ == "__main__":
    main()
