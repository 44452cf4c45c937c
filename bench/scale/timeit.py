#!/usr/bin/env python3
"""timeit.py RUNS CMD...: runs CMD RUNS times with its output discarded and
prints the fastest wall time in seconds and that run's peak resident memory
in kilobytes. A failing run stops it with CMD's output and status 1."""
import os
import subprocess
import sys
import time


def main():
    runs = int(sys.argv[1])
    cmd = sys.argv[2:]
    best = None
    for _ in range(runs):
        start = time.perf_counter()
        proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        out = proc.stdout.read()
        _, status, usage = os.wait4(proc.pid, 0)
        elapsed = time.perf_counter() - start
        proc.returncode = os.waitstatus_to_exitcode(status)
        if proc.returncode != 0:
            sys.stderr.write(out.decode(errors="replace"))
            sys.exit("failed (status %d): %s" % (proc.returncode, " ".join(cmd)))
        if best is None or elapsed < best[0]:
            best = (elapsed, usage.ru_maxrss)
    print("%.4f %d" % best)


if __name__ == "__main__":
    main()
