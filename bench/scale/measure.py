#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""measure.py [--rounds N] [--link-env NAME=VALUE]... TARSIL DIR...: times
the link of each generated program DIR (its `args`, writing out.cof and
out.map anew each time) and the reading of the same inputs with cat, and
prints one line per DIR: the fastest link in seconds, the link's peak
resident memory in kilobytes and the fastest cat in seconds. Every link of a
DIR must write the same outputs (see digests.py), or the measurement fails;
the last link's outputs are left in DIR to be checked against the reference.

The runs go in rounds, each round one link and one cat of every DIR in turn,
so that every size is timed across the same stretch of time: on a shared
machine whose speed drifts from one minute to the next, timing each size's
runs together would put the drift into the growth from one size to the
next. The environment settings are given to the links only; cat, the
yardstick, reads as it always does.

The peak comes from one more link under /usr/bin/time where that exists: a
child of this interpreter inherits the interpreter's resident size as the
floor of its own peak (about 13 MB), which would hide any link smaller than
that. Without /usr/bin/time the fastest link's own figure is given."""
import glob
import os
import subprocess
import sys
import tempfile
import time

import digests

GNU_TIME = "/usr/bin/time"
OUTPUTS = ("out.cof", "out.map")


def run(cmd, cwd, env=None, discard=False):
    """Wall time and peak resident kilobytes of one run; a failure ends the
    measurement with the command's output. With `discard` the standard
    output goes to /dev/null, as cat's must: read through a pipe, it would
    time the pipe too."""
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=subprocess.DEVNULL if discard else subprocess.PIPE,
                            stderr=subprocess.PIPE if discard else subprocess.STDOUT)
    out = proc.stdout.read() if not discard else proc.stderr.read()
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        sys.stderr.write(out.decode(errors="replace"))
        sys.exit("failed (status %d) in %s: %s" % (code, cwd, " ".join(cmd)))
    return elapsed, usage.ru_maxrss


def fresh(cwd):
    for name in OUTPUTS:
        try:
            os.remove(os.path.join(cwd, name))
        except FileNotFoundError:
            pass


class Program:
    def __init__(self, tarsil, directory):
        self.dir = directory
        with open(os.path.join(directory, "args")) as f:
            args = f.read().split()
        self.link = [tarsil, "-q"] + args + ["-o", OUTPUTS[0], "-m", OUTPUTS[1]]
        inputs = ["scale.lkr"] + sorted(glob.glob("*.o", root_dir=directory)) + sorted(glob.glob("*.lib", root_dir=directory))
        self.cat = ["cat"] + inputs
        self.links = []
        self.cats = []
        self.outputs = None

    def check(self):
        """The outputs of the link just run: the same as the first's."""
        found = digests.outputs(self.dir)
        if self.outputs is None:
            self.outputs = found
        elif found != self.outputs:
            sys.exit("%s: one link wrote %s, another %s" % (self.dir, " ".join(self.outputs), " ".join(found)))


def peak(program, env):
    if not os.access(GNU_TIME, os.X_OK):
        return min(program.links)[1]
    with tempfile.NamedTemporaryFile("r") as report:
        fresh(program.dir)
        run([GNU_TIME, "-f", "%M", "-o", report.name] + program.link, program.dir, env)
        program.check()
        return int(report.read().split()[-1])


def main():
    argv = sys.argv[1:]
    rounds = 5
    env = dict(os.environ)
    while argv[:1] and argv[0].startswith("--"):
        if argv[0] == "--rounds":
            rounds = int(argv[1])
        elif argv[0] == "--link-env":
            name, _, value = argv[1].partition("=")
            env[name] = value
        else:
            sys.exit("unknown option " + argv[0])
        argv = argv[2:]
    if len(argv) < 2:
        sys.exit(__doc__)
    programs = [Program(argv[0], d) for d in argv[1:]]
    for _ in range(rounds):
        for p in programs:
            fresh(p.dir)
            p.links.append(run(p.link, p.dir, env))
            p.check()
            p.cats.append(run(p.cat, p.dir, discard=True))
    for p in programs:
        kb = peak(p, env)
        print("%.4f %d %.4f" % (min(p.links)[0], kb, min(p.cats)[0]))


if __name__ == "__main__":
    main()
