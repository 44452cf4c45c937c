#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Digests of a generated program's inputs and of its link's outputs, held
against the reference digests in the file `digests` beside this script.

    digests.py check FAMILY SCALE DIR     exit 1 if a digest differs
    digests.py record FAMILY SCALE DIR    store DIR's digests as the reference

DIR is one that gen.py wrote and in which the link wrote out.cof and out.map.
The time of the link, in the executable's file header and in the map's
first lines, is left out of their digests. A change that alters the outputs
on purpose records the new digests, and says so in its commit."""
import hashlib
import os
import sys

REFERENCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "digests")
MAP_TIME = b"Linker Map File - Created "
# f_timdat, after the file header's magic number and section count.
COFF_TIME = slice(4, 8)


def short(h):
    return h.hexdigest()[:16]


def inputs(directory):
    """The generator's output: its notes and every input of the link, in
    the order of the command line."""
    with open(os.path.join(directory, "args")) as f:
        names = f.read().split()
    h = hashlib.sha256()
    for name in ["args", "counts", "scale.lkr"] + names[1:]:
        with open(os.path.join(directory, name), "rb") as f:
            h.update(f.read())
    return short(h)


def outputs(directory):
    """The executable's digest and the map's, both without the time."""
    with open(os.path.join(directory, "out.cof"), "rb") as f:
        image = bytearray(f.read())
    image[COFF_TIME] = bytes(4)
    cof = short(hashlib.sha256(image))
    h = hashlib.sha256()
    with open(os.path.join(directory, "out.map"), "rb") as f:
        for line in f:
            if not line.startswith(MAP_TIME):
                h.update(line)
    return cof, short(h)


def load():
    """{(family, scale): (inputs, executable, map)} and the file's comment."""
    table, comment = {}, []
    try:
        with open(REFERENCE) as f:
            for line in f:
                if line.startswith("#") or not line.strip():
                    comment.append(line)
                    continue
                family, scale, *sums = line.split()
                table[family, int(scale)] = tuple(sums)
    except FileNotFoundError:
        pass
    return table, comment


def main():
    if len(sys.argv) != 5 or sys.argv[1] not in ("check", "record"):
        sys.exit(__doc__)
    action, family, scale, directory = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
    found = (inputs(directory),) + outputs(directory)
    table, comment = load()
    if action == "record":
        table[family, scale] = found
        with open(REFERENCE, "w") as f:
            f.writelines(comment)
            for (fam, s), sums in sorted(table.items()):
                f.write("%s %d %s\n" % (fam, s, " ".join(sums)))
        return
    want = table.get((family, scale))
    if want is None:
        print("%s %dx: no reference digests" % (family, scale))
        return
    differ = [what for what, a, b in zip(("inputs", "executable", "map"), want, found) if a != b]
    if differ:
        verb = "differs" if differ in (["executable"], ["map"]) else "differ"
        sys.exit("%s %dx: %s %s from the reference (%s, found %s)" % (
            family, scale, " and ".join(differ), verb, " ".join(want), " ".join(found)))


if __name__ == "__main__":
    main()
