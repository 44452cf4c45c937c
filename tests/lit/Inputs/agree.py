#!/usr/bin/env python3
"""Checks that two listings of one link tell the same story, and says where
they part.

    agree.py size USAGE EXECUTABLE   tarsil-size's program and data totals are
                                     the sums of the used column of the
                                     linker's --print-memory-usage (in USAGE)
    agree.py nm EXECUTABLE           every row of tarsil-nm is a symbol of
                                     tarsil-objdump's listing with that value,
                                     and every symbol nm should show is there

The programs are found on PATH. Exit status 1, with the differences, when
the listings disagree."""
import re
import subprocess
import sys


def run(*args):
    return subprocess.run(args, check=True, stdout=subprocess.PIPE, text=True).stdout


def fail(problems):
    for p in problems:
        print(p)
    sys.exit(1 if problems else 0)


def check_size(usage_file, exe):
    used = {"program": 0, "data": 0}
    with open(usage_file) as f:
        for line in f:
            cols = line.split()
            if len(cols) == 7 and cols[1] in ("CODEPAGE", "DATABANK", "SHAREBANK", "ACCESSBANK"):
                used["program" if cols[1] == "CODEPAGE" else "data"] += int(cols[4])
    rows = run("tarsil-size", exe).splitlines()
    head, values = rows[0].split(), rows[1].split()
    size = {k: int(values[head.index(k)]) for k in used}
    fail([f"{k}: tarsil-size {size[k]}, memory usage {used[k]}" for k in used if size[k] != used[k]] +
         (["no memory usage rows"] if not any(used.values()) else []))


SYMBOL = re.compile(r"^  \[(\d+)\] '(.*)' value 0x([0-9a-f]+) section (-?\d+)(?: \([^)]*\))? .* class (\d+)")


def check_nm(exe):
    listed = {}
    expected = set()
    defined = set()
    for line in run("tarsil-objdump", "--syms", exe).splitlines():
        m = SYMBOL.match(line)
        if not m:
            continue
        name, value, section, sclass = m.group(2), int(m.group(3), 16), int(m.group(4)), int(m.group(5))
        listed.setdefault(name, set()).add(value)
        if sclass in (2, 3, 6) and section >= -1:
            expected.add((name, value, section == 0))
            if sclass == 2 and section > 0:
                defined.add(name)
    # A linked program's references were bound: nm shows their definitions.
    expected = {(n, v) for n, v, ref in expected if not (ref and n in defined)}
    shown = set()
    problems = []
    for row in run("tarsil-nm", "-p", exe).splitlines():
        if not row or row.endswith(":"):
            continue  # a member's or a file's heading
        value, letter, name = row[:8].strip(), row[9], row[11:]
        v = int(value, 16) if value else 0
        if v not in listed.get(name, set()):
            problems.append(f"nm shows {name} = {value or 'undefined'}, objdump does not")
        shown.add((name, v))
    problems += [f"objdump lists {n} = {v:#x}, nm does not" for n, v in sorted(expected - shown)]
    fail(problems + (["no symbols"] if not shown else []))


if __name__ == "__main__":
    what = sys.argv[1]
    if what == "size":
        check_size(sys.argv[2], sys.argv[3])
    elif what == "nm":
        check_nm(sys.argv[2])
    else:
        sys.exit(f"agree.py: unknown check '{what}'")
