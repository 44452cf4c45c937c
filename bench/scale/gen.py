#!/usr/bin/env python3
"""Writes a large, realistic Core16E link into a directory.

    gen.py SCALE OUTDIR [SEED]

At scale 1: 500 objects and four libraries of 250 members each, every
member imported; about 50,000 relocations of most Core16E types, about
28,500 symbol entries (9,700 definitions, the rest references and file
markers), 21,000 line numbers, initialized and
uninitialized data, activation records, a stack and a filled code page.
Everything grows linearly with SCALE.

Each module (object or member) has its own code section with three
functions. Their instructions call and jump to functions of other modules,
load addresses of data, select banks, move between data bytes and branch
back to the start of their function. Objects own the data: one byte in one
of sixteen shared uninitialized sections, and every fourth object one byte
in one of eight initialized sections. Every tenth object adds a function
with an overlaid activation record.

Objects are written as YAML descriptions and built with tarsil-yaml2obj
(TARSIL_YAML2OBJ or PATH), two at a time. The file `args` holds the link's
input names in command-line order.
"""
import concurrent.futures
import os
import random
import subprocess
import sys

DEVICE = 0x0486          # t16e-2m-3840a: 2M bytes of program memory
OBJECTS = 500
LIBRARIES = 4
MEMBERS = 250
FUNCTIONS = 3
UDATA_SECTIONS = 16
IDATA_SECTIONS = 8


def func(m, k):
    return "f%d_%d" % (m, k)


class Module:
    def __init__(self, index, name, is_object):
        self.index = index
        self.name = name
        self.is_object = is_object


def instructions(rng, module, k, callees, data):
    """One function's instructions: a list of (bytes, relocs) where relocs
    are (byte offset within the instruction, symbol, type)."""
    out = []
    here = func(module.index, k)
    for _ in range(rng.randint(5, 8)):
        kind = rng.randrange(10)
        f = rng.choice(callees)
        v = rng.choice(data)
        if kind == 0:
            out.append(("00 ec 00 f0", [(0, f, "RELOCT_CALL"), (2, f, "RELOCT_CALL2")]))
        elif kind == 1:
            out.append(("00 ef 00 f0", [(0, f, "RELOCT_GOTO"), (2, f, "RELOCT_CALL2")]))
        elif kind == 2:
            out.append(("00 ee 00 f0", [(0, v, "RELOCT_LFSR1"), (2, v, "RELOCT_LFSR2")]))
        elif kind == 3:
            out.append(("00 6e", [(0, v, "RELOCT_F"), (0, v, "RELOCT_ACCESS")]))
        elif kind == 4:
            out.append(("00 01", [(0, v, "RELOCT_BANKSEL")]))
        elif kind == 5:
            out.append(("00 0e", [(0, f, "RELOCT_LOW")]))
            out.append(("00 0e", [(0, f, "RELOCT_HIGH")]))
            out.append(("00 0e", [(0, f, "RELOCT_UPPER")]))
        elif kind == 6:
            w = rng.choice(data)
            out.append(("00 c0 00 f0", [(0, v, "RELOCT_FF1"), (2, w, "RELOCT_FF2")]))
        elif kind == 7:
            out.append(("00 d0", [(0, here, "RELOCT_BRA")]))
        elif kind == 8:
            out.append(("00 e1", [(0, here, "RELOCT_CONDBRA")]))
        else:
            out.append(("00 00", [(0, f, "RELOCT_ALL")]))
    out.append(("12 00", []))  # return
    return out


def describe(rng, module, callees, data):
    m = module.index
    code = []
    relocs = []
    lines = []
    symbols = ["  - { name: .file, section: DEBUG, class: C_FILE, aux: [ { kind: file, name: %s.c } ] }"
               % module.name]
    externs = set()
    address = 0
    line = 10
    for k in range(FUNCTIONS):
        start = address
        symbols.append("  - { name: %s, section: .c%d, value: %d, type: 0x20 }" % (func(m, k), m, start))
        body = instructions(rng, module, k, callees, data)
        for n, (text, rels) in enumerate(body):
            if n % 2 == 0:
                entry = "{ line: %d, address: %d" % (line, address)
                if n == 0:
                    entry += ", file: .file, function: %s" % func(m, k)
                lines.append("      - " + entry + " }")
            line += 1
            for offset, sym, typ in rels:
                relocs.append("      - { address: %d, symbol: %s, type: %s }" % (address + offset, sym, typ))
                externs.add(sym)
            code.append(text)
            address += len(text.split())
        line += 3
    symbols.append("  - { name: l%d, section: .c%d, value: %d, class: C_LABEL }" % (m, m, address - 2))
    sections = ["  - name: .c%d" % m, "    flags: STYP_TEXT", '    data: "%s"' % " ".join(code),
                "    relocs:"] + relocs + ["    lines:"] + lines
    if module.is_object:
        sections.append("  - { name: .ud%d, flags: STYP_BSS, size: 1 }" % (m % UDATA_SECTIONS))
        symbols.append("  - { name: v%d, section: .ud%d }" % (m, m % UDATA_SECTIONS))
        if m % 4 == 0:
            sections.append('  - { name: .id%d, flags: STYP_DATA, data: "%02x" }' % (m % IDATA_SECTIONS, m & 0xFF))
            symbols.append("  - { name: w%d, section: .id%d }" % (m, m % IDATA_SECTIONS))
        if m % 10 == 0:
            sections.append("  - { name: .a%d, flags: STYP_ACTREC, size: 2 }" % m)
            sections.append('  - { name: .r%d, flags: STYP_TEXT, data: "12 00" }' % m)
            symbols.append("  - { name: r%d, section: .r%d, type: 0x20, aux: [ { kind: fcn, actscnum: .a%d } ] }"
                           % (m, m, m))
    if m == 0:
        symbols.append("  - { name: main, section: .c0, type: 0x20 }")
    defined = {func(m, k) for k in range(FUNCTIONS)} | {"v%d" % m, "w%d" % m}
    for sym in sorted(externs - defined):
        symbols.append("  - { name: %s }" % sym)
    symbols.append("  - { name: .eof, section: DEBUG, class: C_FILE }")
    return ("optional: { device: 0x%04X, rom_width: 16, ram_width: 8 }\nsections:\n%s\nsymbols:\n%s\n"
            % (DEVICE, "\n".join(sections), "\n".join(symbols))), address


def main():
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    scale = int(sys.argv[1])
    out = sys.argv[2]
    rng = random.Random(int(sys.argv[3]) if len(sys.argv) > 3 else 1)
    os.makedirs(out, exist_ok=True)
    yaml2obj = os.environ.get("TARSIL_YAML2OBJ", "tarsil-yaml2obj")

    nobj = OBJECTS * scale
    nmem = MEMBERS * scale
    modules = [Module(i, "o%d" % i, True) for i in range(nobj)]
    libs = []
    for lib in range(LIBRARIES):
        first = len(modules)
        modules += [Module(first + j, "l%d_%d" % (lib, j), False) for j in range(nmem)]
        libs.append(modules[first:])
    members = modules[nobj:]
    data = ["v%d" % i for i in range(nobj)] + ["w%d" % i for i in range(0, nobj, 4)]

    texts = {}
    code_bytes = 0
    counts = {"relocations": 0, "symbols": 0, "line numbers": 0}
    for module in modules:
        callees = [func(rng.randrange(len(modules)), rng.randrange(FUNCTIONS)) for _ in range(4)]
        if module.is_object:
            # Each member is called from one object at least, so every one
            # is imported.
            callees += [func(mem.index, 0) for mem in members[module.index::nobj]]
        text, size = describe(rng, module, callees, data)
        texts[module.name] = text
        counts["relocations"] += text.count("type: RELOCT_")
        counts["line numbers"] += text.count("{ line: ")
        counts["symbols"] += text.count("  - { name: ") - text.count("flags: ST")
        code_bytes += size + 4

    def build(name, text):
        path = os.path.join(out, name)
        with open(path + ".yaml", "w") as f:
            f.write(text)
        subprocess.run([yaml2obj, path + ".yaml", "-o", path], check=True)
        os.remove(path + ".yaml")

    jobs = [(m.name + ".o", texts[m.name]) for m in modules[:nobj]]
    for lib, mods in enumerate(libs):
        body = "".join("    - name: %s.o\n      object:\n%s" % (
            m.name, "".join("        " + l + "\n" for l in texts[m.name].splitlines())) for m in mods)
        jobs.append(("lib%d.lib" % lib, "archive:\n  members:\n" + body))
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        for f in [pool.submit(build, n, t) for n, t in jobs]:
            f.result()

    # A quarter more program memory than the code needs, filled.
    end = (code_bytes * 5 // 4 + 0x3FF) & ~0x3FF
    with open(os.path.join(out, "scale.lkr"), "w") as f:
        f.write("LIBPATH .\n")
        f.write("CODEPAGE NAME=program START=0x0 END=0x%X FILL=0xFFFF\n" % (end - 1))
        f.write("ACCESSBANK NAME=accessram START=0x0 END=0x5F\n")
        f.write("DATABANK NAME=gpr0 START=0x60 END=0xFF\n")
        for b in range(1, 15):
            f.write("DATABANK NAME=gpr%d START=0x%X END=0x%X\n" % (b, b * 0x100, b * 0x100 + 0xFF))
        f.write("ACCESSBANK NAME=accesssfr START=0xF60 END=0xFFF PROTECTED\n")
        f.write("STACK SIZE=0x40 RAM=gpr14\n")
    with open(os.path.join(out, "counts"), "w") as f:
        f.write("objects %d, members %d x %d, relocations %d, symbol entries %d, line numbers %d\n" % (
            nobj, LIBRARIES, nmem, counts["relocations"], counts["symbols"], counts["line numbers"]))
    with open(os.path.join(out, "args"), "w") as f:
        f.write(" ".join(["scale.lkr"] + [m.name + ".o" for m in modules[:nobj]] +
                         ["lib%d.lib" % i for i in range(LIBRARIES)]) + "\n")


if __name__ == "__main__":
    main()
