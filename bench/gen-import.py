#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Writes the inputs of the library-import benchmark into a directory.

    gen-import.py N OUTDIR [--full] [--sparse]

main.o refers to the root of a binary tree of N library members: member i
defines one symbol and refers to the symbols of members 2i+1 and 2i+2, so
every member is imported, most of them only after the member that refers to
them. Symbol names are scrambled so that their alphabetical order, which
decides the import order, is not the tree's order. The members are spread
over two libraries, and a third one listed after them defines every tenth
symbol again, so that the earliest-library rule has work to do.

By default main.o names no known device, so the link stops right after the
import, at the processor check: the run then times reading and importing
alone. Each member also refers to a symbol that nothing defines, which
keeps the set of undefined names large. With --full every input names one
device and nothing is left undefined, so the link goes on through all of
its stages; the command file t.lkr declares room for every member.

With --sparse only the first eighth of the tree is asked for (a member
refers to children within it alone), and every member carries 64 bytes of
code, eight relocations and eight line numbers: a library most of whose
members a link leaves where they are.

The objects are written as descriptions and built with tarsil-yaml2obj,
found through the TARSIL_YAML2OBJ environment variable or on PATH.
"""
import os
import subprocess
import sys

DEVICE = 0x3DC5  # t16-16k-2048a: room for 4,000 two-word members


def symbol(i, n):
    # The prefix scatters neighbours across the alphabet; the suffix keeps
    # every name unique.
    width = len(str(n))
    return "s%0*d_%d" % (width, (i * 7919) % n, i)


def member(i, n, full, sparse=False):
    asked = n // 8 if sparse else n
    refs = [symbol(c, n) for c in (2 * i + 1, 2 * i + 2) if c < asked]
    if not full:
        refs.append("undefined_%d" % i)
    own = symbol(i, n)
    syms = ["{ name: %s, section: .text }" % own]
    syms += ["{ name: %s }" % r for r in refs]
    section = "{ name: .text, flags: STYP_TEXT, data: \"00 00\" }"
    if sparse:
        relocs = ", ".join("{ address: %d, symbol: %s, type: RELOCT_CALL }" % (8 * k, own) for k in range(8))
        lines = ", ".join("{ line: %d, address: %d, function: %s }" % (k + 1, 8 * k, own) for k in range(8))
        section = ("{ name: .text, flags: STYP_TEXT, data: \"%s\", relocs: [%s], lines: [%s] }"
                   % (" ".join(["00"] * 64), relocs, lines))
    return (
        "    - name: m%d.o\n"
        "      object:\n"
        "        optional: { device: 0x%04X }\n"
        "        sections: [%s]\n"
        "        symbols: [%s]\n" % (i, DEVICE, section, ", ".join(syms))
    )


def main():
    args = [a for a in sys.argv[1:] if a not in ("--full", "--sparse")]
    full = "--full" in sys.argv[1:]
    sparse = "--sparse" in sys.argv[1:]
    if len(args) != 2:
        sys.exit(__doc__)
    n = int(args[0])
    out = args[1]
    os.makedirs(out, exist_ok=True)
    yaml2obj = os.environ.get("TARSIL_YAML2OBJ", "tarsil-yaml2obj")

    def build(name, text):
        path = os.path.join(out, name)
        with open(path + ".yaml", "w") as f:
            f.write(text)
        subprocess.run([yaml2obj, path + ".yaml", "-o", path], check=True)

    device = DEVICE if full else 0
    build("main.o",
          "optional: { device: 0x%04X }\n"
          "sections: [{ name: .text, flags: STYP_TEXT, data: \"00 00\" }]\n"
          "symbols: [{ name: main, section: .text }, { name: %s }]\n" % (device, symbol(0, n)))
    first = [i for i in range(n) if i % 2 == 0]
    second = [i for i in range(n) if i % 2 == 1]
    build("a.lib", "archive:\n  members:\n" + "".join(member(i, n, full, sparse) for i in first))
    # The repeated definitions are never taken: a.lib or b.lib comes first
    # for every name.
    again = "".join(
        "    - name: again%d.o\n"
        "      object:\n"
        "        optional: { device: 0x%04X }\n"
        "        sections: [{ name: .text, flags: STYP_TEXT, data: \"00 00\" }]\n"
        "        symbols: [{ name: %s, section: .text }]\n" % (i, DEVICE, symbol(i, n))
        for i in range(0, n, 10))
    build("b.lib", "archive:\n  members:\n" + "".join(member(i, n, full, sparse) for i in second))
    build("c.lib", "archive:\n  members:\n" + again)
    with open(os.path.join(out, "t.lkr"), "w") as f:
        f.write("LIBPATH .\n"
                "CODEPAGE NAME=page0 START=0 END=0x3FFF\n"
                "DATABANK NAME=gpr0 START=0x100 END=0x7FF\n")


if __name__ == "__main__":
    main()
