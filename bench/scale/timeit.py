#!/usr/bin/env python3
"""timeit.py [--fresh FILE]... RUNS CMD...: runs CMD RUNS times with its output
discarded and prints the fastest wall time in seconds and CMD's peak resident
memory in kilobytes. A failing run stops it with CMD's output and status 1.
Each FILE is removed before every run, so that each run writes it anew.

The peak comes from one more run under /usr/bin/time where that exists: a
child of this interpreter inherits the interpreter's resident size as the
floor of its own peak (about 13 MB), which would hide any link smaller than
that. Without /usr/bin/time the fastest run's own figure is given."""
import os
import subprocess
import sys
import tempfile
import time

GNU_TIME = "/usr/bin/time"


def run(cmd):
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    out = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        sys.stderr.write(out.decode(errors="replace"))
        sys.exit("failed (status %d): %s" % (code, " ".join(cmd)))
    return elapsed, usage.ru_maxrss


def peak(cmd):
    with tempfile.NamedTemporaryFile("r") as report:
        run([GNU_TIME, "-f", "%M", "-o", report.name] + cmd)
        return int(report.read().split()[-1])


def remove(files):
    for name in files:
        try:
            os.remove(name)
        except FileNotFoundError:
            pass


def main():
    argv = sys.argv[1:]
    fresh = []
    while argv[:1] == ["--fresh"]:
        fresh.append(argv[1])
        argv = argv[2:]
    runs = int(argv[0])
    cmd = argv[1:]
    times = []
    for _ in range(runs):
        remove(fresh)
        times.append(run(cmd))
    best = min(times)
    remove(fresh)
    kb = peak(cmd) if os.access(GNU_TIME, os.X_OK) else best[1]
    print("%.4f %d" % (best[0], kb))


if __name__ == "__main__":
    main()
