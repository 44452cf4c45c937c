#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""compare.py [--rounds N] TARSIL SCALE_DIR LLD_DIR [SCALE_DIR LLD_DIR]...:
tarsil linking the Core16E scale programs (../scale/gen.py) and ld.lld
linking their twins (gen.py here) in the same rounds.

Each round runs, for every size in turn: tarsil with its map, ld.lld with
its map (-Map), then both without a map. Before the rounds every input is
read once, so that both programs find theirs in the page cache. Every link
of a size must write the same outputs as the first. Printed per size and
linker: the input bytes, the least wall and processor time (user and
system, every thread) over the rounds with and without the map, and the
peak resident memory of one more link with the map; then tarsil's figures
as a ratio to ld.lld's."""
import glob
import hashlib
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scale"))
import digests  # noqa: E402
from compare import timed  # noqa: E402
from measure import GNU_TIME  # noqa: E402

ROUNDS = 7
LLD = os.environ.get("LLD", "ld.lld")


class Linker:
    def __init__(self, name, directory, command, outputs):
        self.name, self.dir, self.outputs = name, directory, outputs
        self.inputs = sorted(glob.glob("*.o", root_dir=directory)) + sorted(glob.glob("*.lib", root_dir=directory))
        self.bytes = sum(os.path.getsize(os.path.join(directory, n)) for n in self.inputs)
        self.command = command
        self.digest = None
        self.times = {True: [], False: []}

    def link(self, with_map):
        return self.command if with_map else self.command[:-2]

    def fresh(self):
        for name in self.outputs:
            try:
                os.remove(os.path.join(self.dir, name))
            except FileNotFoundError:
                pass

    def run(self, with_map):
        self.fresh()
        self.times[with_map].append(timed(self.link(with_map), self.dir))
        if with_map:
            found = self.outputs_digest()
            if self.digest is None:
                self.digest = found
            elif self.digest != found:
                sys.exit("%s in %s wrote different outputs from one link to the next" % (self.name, self.dir))

    def outputs_digest(self):
        if self.name == "tarsil":
            return digests.outputs(self.dir)  # without the time of the link
        h = hashlib.sha256()
        for name in self.outputs:
            with open(os.path.join(self.dir, name), "rb") as f:
                h.update(f.read())
        return h.hexdigest()

    def peak_mb(self):
        self.fresh()
        with tempfile.NamedTemporaryFile("r") as report:
            subprocess.run([GNU_TIME, "-f", "%M", "-o", report.name] + self.command, cwd=self.dir, check=True,
                           stdout=subprocess.DEVNULL)
            return int(report.read().split()[-1]) * 1024 / 1e6

    def warm(self):
        for name in self.inputs + ["args"]:
            with open(os.path.join(self.dir, name), "rb") as f:
                while f.read(1 << 20):
                    pass


def args_of(directory):
    with open(os.path.join(directory, "args")) as f:
        return f.read().split()


def main():
    argv = sys.argv[1:]
    rounds = ROUNDS
    if argv[:1] == ["--rounds"]:
        rounds, argv = int(argv[1]), argv[2:]
    if len(argv) < 3 or len(argv) % 2 != 1:
        sys.exit(__doc__)
    tarsil, pairs = argv[0], list(zip(argv[1::2], argv[2::2]))
    sizes = []
    for ours, theirs in pairs:
        sizes.append((
            Linker("tarsil", ours, [tarsil, "-q"] + args_of(ours) + ["-o", "out.cof", "-m", "out.map"],
                   ("out.cof", "out.map")),
            Linker("ld.lld", theirs, [LLD] + args_of(theirs) + ["-o", "out.elf", "-Map", "out.map"],
                   ("out.elf", "out.map"))))
    for pair in sizes:
        for linker in pair:
            linker.warm()
    for _ in range(rounds):
        for pair in sizes:
            for with_map in (True, False):
                for linker in pair:
                    linker.run(with_map)
    print("%-16s %7s %8s %8s %8s %8s %8s" % ("size, linker", "MB in", "wall-map", "cpu-map", "wall", "cpu",
                                              "peak MB"))
    for ours, theirs in sizes:
        row = []
        for linker in (ours, theirs):
            figures = [min(t[i] for t in linker.times[m]) for m in (True, False) for i in (0, 1)]
            figures.append(linker.peak_mb())
            row.append(figures)
            print("%-16s %7.2f %8.4f %8.4f %8.4f %8.4f %8.1f" % (
                os.path.basename(ours.dir.rstrip("/")) + "x, " + linker.name, linker.bytes / 1e6, *figures))
        print("%-16s %7s %7.2fx %7.2fx %7.2fx %7.2fx %7.2fx" % (
            "  tarsil/ld.lld", "", *[a / b for a, b in zip(row[0], row[1])]))


if __name__ == "__main__":
    main()
