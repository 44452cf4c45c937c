#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""compare.py [--rounds N] [--instructions] BEFORE AFTER DIR...: two builds
of the linker side by side on the generated programs DIR (see gen.py).

Each round runs, for every DIR in turn: BEFORE's link with a map, AFTER's
link with a map, both without a map, and the yardstick, a `cat` of the
inputs to /dev/null followed by a copy of the executable (the least a link
must do: read its inputs and write its output). Every link of a DIR must
write the same executable and map, whichever build made them. Printed per
DIR and build: the least wall time and the least processor time (user and
system) over the rounds, with and without the map, the peak resident memory
(under /usr/bin/time, which a child of this interpreter needs), and with
--instructions callgrind's instruction count of one link with the map.
Then AFTER over BEFORE for each figure, and the time per doubling of the
input from the first DIR to the last.

The least of several runs is the figure these shared machines allow: their
speed drifts by half within a day, and a run is only ever slowed by what
else the machine does, never sped up."""
import math
import os
import subprocess
import sys
import tempfile
import time

import digests
from measure import GNU_TIME, Program, fresh

ROUNDS = 7


def timed(cmd, cwd, shell=False):
    """Wall and processor seconds (user and system, the children a shell
    waits for included) of one run; a failure ends the comparison."""
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, cwd=cwd, shell=shell, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    err = proc.stderr.read()
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        sys.stderr.write(err.decode(errors="replace"))
        sys.exit("failed (status %d) in %s: %s" % (code, cwd, cmd))
    return elapsed, usage.ru_utime + usage.ru_stime


def peak_kb(cmd, cwd):
    with tempfile.NamedTemporaryFile("r") as report:
        subprocess.run([GNU_TIME, "-f", "%M", "-o", report.name] + cmd, cwd=cwd, check=True,
                       stdout=subprocess.DEVNULL)
        return int(report.read().split()[-1])


def instructions(cmd, cwd):
    out = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"] + cmd, cwd=cwd,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, check=True).stderr.decode()
    for line in out.splitlines():
        if "refs:" in line:
            return int(line.split("refs:")[1].replace(",", ""))
    return 0


class Size:
    def __init__(self, builds, directory):
        self.dir = directory
        self.programs = [Program(b, directory) for b in builds]
        self.bytes = sum(os.path.getsize(os.path.join(directory, n)) for n in self.programs[0].cat[1:])
        self.linked = [[] for _ in builds]
        self.bare = [[] for _ in builds]
        self.yard = []

    def check(self):
        """Every link in the directory, whichever build made it, writes the
        first one's outputs."""
        self.programs[0].check()

    def round(self):
        for b, p in enumerate(self.programs):
            fresh(self.dir)
            self.linked[b].append(timed(p.link, self.dir))
            self.check()
        for b, p in enumerate(self.programs):
            fresh(self.dir)
            self.bare[b].append(timed(p.link[:-2], self.dir))
        cat = " ".join(p for p in self.programs[0].cat)
        self.yard.append(timed(cat + " >/dev/null && cat out.cof >yard.cof && rm yard.cof", self.dir, shell=True))


def main():
    argv = sys.argv[1:]
    rounds, count = ROUNDS, False
    while argv[:1] and argv[0].startswith("--"):
        if argv[0] == "--rounds":
            rounds = int(argv[1])
            argv = argv[2:]
        elif argv[0] == "--instructions":
            count = True
            argv = argv[1:]
        else:
            sys.exit("unknown option " + argv[0])
    if len(argv) < 3:
        sys.exit(__doc__)
    builds, dirs = argv[:2], argv[2:]
    sizes = [Size(builds, d) for d in dirs]
    for _ in range(rounds):
        for s in sizes:
            s.round()
    print("%-28s %7s %8s %8s %8s %8s %8s %9s %9s" % (
        "program, build", "MB in", "wall", "cpu", "wall-map", "cpu-map", "yardstick", "peak MB", "instr/B"))
    rows = []
    for s in sizes:
        yard = min(w for w, _ in s.yard)
        row = []
        for b, p in enumerate(s.programs):
            fresh(s.dir)
            peak = peak_kb(p.link, s.dir) * 1024 / 1e6
            s.check()
            instr = instructions(p.link, s.dir) / s.bytes if count else 0
            wall = min(w for w, _ in s.linked[b])
            cpu = min(c for _, c in s.linked[b])
            bare_wall = min(w for w, _ in s.bare[b])
            bare_cpu = min(c for _, c in s.bare[b])
            row.append((wall, cpu, bare_wall, bare_cpu, peak, instr))
            print("%-28s %7.2f %8.4f %8.4f %8.4f %8.4f %8.2fx %9.1f %9.2f" % (
                os.path.basename(s.dir.rstrip("/")) + ", " + ("before" if b == 0 else "after"), s.bytes / 1e6,
                wall, cpu, bare_wall, bare_cpu, bare_wall / yard, peak, instr))
        ratio = [a / b if b else 0 for a, b in zip(row[1], row[0])]
        print("%-28s %7s %7.2fx %7.2fx %7.2fx %7.2fx %9s %8.2fx %8.2fx   (peak %.2fx input)" % (
            "  after / before", "", *ratio[:4], "", ratio[4], ratio[5], row[1][4] * 1e6 / s.bytes))
        rows.append((s.bytes, row))
    if len(rows) > 1:
        (b0, r0), (b1, r1) = rows[0], rows[-1]
        d = math.log(2) / math.log(b1 / b0)
        for name, i in (("before", 0), ("after", 1)):
            print("%s: time per doubling %.2f (wall) %.2f (cpu)" % (
                name, math.exp(math.log(r1[i][0] / r0[i][0]) * d), math.exp(math.log(r1[i][1] / r0[i][1]) * d)))


if __name__ == "__main__":
    main()
