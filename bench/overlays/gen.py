#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Writes a program of N functions that all own an overlaid activation record,
as YAML descriptions for tarsil-yaml2obj (100 functions per object) and a
command file.

The call graph is what a compiler for a small target produces: "main" at the
top of a tree of fan-out four, shared helper routines at the leaves called
from all over it, and interrupt handlers of both classes with routines of
their own (a routine that main and a handler both call could be entered twice
at once, which the linker rightly refuses). Calls across objects go through external references.

    gen.py N OUTDIR [SEED]
"""
import os
import random
import sys

PER_OBJECT = 100
DEVICE = "0x3DC5"  # t16-16k-2048a
HANDLERS = [("isr_hi", 2), ("isr_lo1", 1), ("isr_lo2", 1), ("isr_lo3", 1), ("isr_hi2", 2)]


def main():
    n = int(sys.argv[1])
    out = sys.argv[2]
    rng = random.Random(int(sys.argv[3]) if len(sys.argv) > 3 else 1)
    os.makedirs(out, exist_ok=True)

    names = ["main"] + [h for h, _ in HANDLERS]
    roots = len(names)
    names += ["f%d" % i for i in range(roots, n)]
    interrupt = {i + 1: cls for i, (_, cls) in enumerate(HANDLERS)}
    calls = [[] for _ in range(n)]
    # The tree under main; nodes after `roots` in heap order.
    private = len(HANDLERS) * 3
    tree_end = n - private
    for i in range(roots, tree_end):
        k = i - roots
        parent = 0 if k < 4 else roots + (k - 4) // 4
        calls[parent].append(i)
    leaves = [i for i in range(roots, tree_end) if not calls[i]]
    helpers = leaves[-max(1, len(leaves) // 10):]
    for i in range(roots, tree_end):
        if calls[i]:
            for _ in range(rng.randint(0, 2)):
                calls[i].append(rng.choice(helpers))
    for h in range(1, roots):
        calls[h] = [tree_end + 3 * (h - 1) + j for j in range(3)]
    sizes = [rng.choice([0, 1, 2, 2, 3, 4, 4, 6, 8]) for _ in range(n)]

    files = []
    for first in range(0, n, PER_OBJECT):
        own = list(range(first, min(n, first + PER_OBJECT)))
        name = "o%d" % (first // PER_OBJECT)
        files.append(name + ".o")
        lines = ["optional: { device: %s, rom_width: 16, ram_width: 8 }" % DEVICE, "sections:",
                 "  - { name: .text, flags: STYP_TEXT, size: %d }" % (2 * len(own))]
        for f in own:
            lines.append("  - { name: .a_%s, flags: STYP_ACTREC, size: %d }" % (names[f], sizes[f]))
        lines.append("symbols:")
        externs = []
        for pos, f in enumerate(own):
            lines += ["  - name: %s" % names[f], "    section: .text", "    value: %d" % pos,
                      "    type: 0x20", "    aux:", "      - { kind: fcn, actscnum: .a_%s }" % names[f]]
            for c in calls[f]:
                lines.append("      - { kind: fcn_calls, callee: %s }" % names[c])
                if not first <= c < first + PER_OBJECT and c not in externs:
                    externs.append(c)
            if f in interrupt:
                lines.append("      - { kind: fcn_calls, callee: -1, interrupt: %d }" % interrupt[f])
        for c in externs:
            lines += ["  - name: %s" % names[c], "    type: 0x20"]
        with open(os.path.join(out, name + ".yaml"), "w") as fh:
            fh.write("\n".join(lines) + "\n")

    with open(os.path.join(out, "bench.lkr"), "w") as fh:
        fh.write("CODEPAGE NAME=page0 START=0x0 END=0x3FFF\n")
        for b in range(8):
            fh.write("DATABANK NAME=gpr%d START=0x%X END=0x%X\n" % (b, b * 0x100, b * 0x100 + 0xFF))
    with open(os.path.join(out, "objects"), "w") as fh:
        fh.write("\n".join(files) + "\n")


main()
