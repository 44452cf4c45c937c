#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Writes a program of N code sections, an eighth of them at fixed addresses
spread over one large CODEPAGE and the rest relocatable, of random sizes, as
YAML descriptions for tarsil-yaml2obj (500 sections per object) and a command
file. The fixed sections cut the page into thousands of holes that every
relocatable section must choose among.

    gen.py N OUTDIR [SEED]
"""
import os
import random
import sys

PER_OBJECT = 500
DEVICE = "0x3DC5"  # t16-16k-2048a: two bytes per program location


def main():
    n = int(sys.argv[1])
    out = sys.argv[2]
    rng = random.Random(int(sys.argv[3]) if len(sys.argv) > 3 else 1)
    os.makedirs(out, exist_ok=True)

    sizes = [2 * rng.randint(1, 64) for _ in range(n)]
    absolute = set(rng.sample(range(n), n // 8))
    total = sum(sizes) // 2  # locations
    page = total * 2
    # Fixed sections at distinct slots of the page, in random order of slots.
    slots = rng.sample(range(len(absolute) * 2), len(absolute))
    slot = page // (len(absolute) * 2 + 1)
    address = {}
    for s, i in zip(slots, sorted(absolute)):
        address[i] = s * slot

    files = []
    for first in range(0, n, PER_OBJECT):
        name = "o%d" % (first // PER_OBJECT)
        files.append(name + ".o")
        lines = ["optional: { device: %s, rom_width: 16, ram_width: 8 }" % DEVICE, "sections:"]
        for i in range(first, min(n, first + PER_OBJECT)):
            if i in absolute:
                lines.append("  - { name: .c%d, flags: STYP_TEXT|STYP_ABS, address: %d, size: %d }"
                             % (i, address[i], sizes[i]))
            else:
                lines.append("  - { name: .c%d, flags: STYP_TEXT, size: %d }" % (i, sizes[i]))
        with open(os.path.join(out, name + ".yaml"), "w") as fh:
            fh.write("\n".join(lines) + "\n")

    with open(os.path.join(out, "bench.lkr"), "w") as fh:
        fh.write("CODEPAGE NAME=page0 START=0x0 END=0x%X\n" % (page - 1))
        fh.write("DATABANK NAME=gpr0 START=0x0 END=0xFF\n")
    with open(os.path.join(out, "objects"), "w") as fh:
        fh.write("\n".join(files) + "\n")


main()
