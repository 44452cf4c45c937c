#!/usr/bin/env python3
"""Checks that two listings of one link tell the same story, and says where
they part.

    agree.py size USAGE EXECUTABLE   tarsil-size's program and data totals are
                                     the sums of the used column of the
                                     linker's --print-memory-usage (in USAGE)
    agree.py nm EXECUTABLE           every row of tarsil-nm is a symbol of
                                     tarsil-objdump's listing with that value,
                                     and every symbol nm should show is there
    agree.py json JSON MAP [USAGE]   the JSON map is valid against its schema
                                     (docs/map-json.schema.json) and lists the
                                     text map's sections (address, size) and
                                     symbols (value, storage, file), and the
                                     memory summary's use of each memory

The programs are found on PATH. Exit status 1, with the differences, when
the listings disagree."""
import os
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


def load_schema_checker():
    """jsonschema, from this interpreter or from the system's, where the
    Debian package puts it."""
    try:
        import jsonschema
        return jsonschema
    except ImportError:
        if sys.executable != "/usr/bin/python3" and os.path.exists("/usr/bin/python3"):
            os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
        sys.exit("agree.py: no jsonschema module (Debian: python3-jsonschema)")


def text_map(path):
    """The sections and the symbols (by name) of a text map."""
    sections, symbols, part = [], [], None
    with open(path) as f:
        for line in f:
            if "Section Info" in line:
                part = "sections"
                continue
            if "Sorted by Name" in line:
                part = "symbols"
                continue
            if "Sorted by Address" in line or "Program Memory Usage" in line:
                part = None
            cols = line.split()
            if not cols or cols[0].startswith("---") or cols[0] in ("Section", "Name"):
                continue
            if part == "sections" and len(cols) == 5:
                sections.append((cols[0], cols[1], int(cols[2], 16), int(cols[4], 16)))
            elif part == "symbols" and len(cols) in (4, 5):
                symbols.append((cols[0], int(cols[1], 16), cols[3], cols[4] if len(cols) == 5 else ""))
    return sections, symbols


def check_json(json_file, map_file, usage_file=None):
    import json
    jsonschema = load_schema_checker()
    here = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(here, "..", "..", "..", "docs", "map-json.schema.json")) as f:
        schema = json.load(f)
    with open(json_file, encoding="utf-8") as f:
        doc = json.load(f)
    problems = [f"schema: {e.message} at {list(e.absolute_path)}"
                for e in jsonschema.Draft202012Validator(schema).iter_errors(doc)][:20]
    sections, symbols = text_map(map_file)
    # The text map shows an activation record's name from its last '/' or '\\'.
    short = lambda name: re.split(r"[/\\]", name)[-1]
    mine = sorted((short(s["name"]) if s["kind"] == "actrec" else s["name"], s["kind"], s["address"], s["bytes"])
                  for s in doc["sections"])
    if mine != sorted(sections):
        problems.append(f"sections differ: {sorted(set(mine) ^ set(sections))[:10]}")
    files = doc["sourceFiles"]
    col = {name: i for i, name in enumerate(doc["symbolColumns"])}
    mine = sorted((s[col["name"]], s[col["value"]], s[col["storage"]],
                   files[s[col["sourceFile"]]] if s[col["sourceFile"]] is not None else "") for s in doc["symbols"])
    if mine != sorted(symbols):
        problems.append(f"symbols differ: {sorted(set(mine) ^ set(symbols))[:10]}")
    if usage_file:
        with open(usage_file) as f:
            used = [(c[0], int(c[4])) for c in (line.split() for line in f) if len(c) == 7 and c[1].endswith(("PAGE", "BANK"))]
        mine = [(m["name"], m["used"]) for m in doc["memories"]]
        if mine != used:
            problems.append(f"memory use differs: {mine} against {used}")
    if not sections or not symbols:
        problems.append("the text map lists no sections or no symbols")
    fail(problems)


if __name__ == "__main__":
    what = sys.argv[1]
    if what == "size":
        check_size(sys.argv[2], sys.argv[3])
    elif what == "nm":
        check_nm(sys.argv[2])
    elif what == "json":
        check_json(*sys.argv[2:5])
    else:
        sys.exit(f"agree.py: unknown check '{what}'")
