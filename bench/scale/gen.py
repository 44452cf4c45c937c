#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Writes a large, realistic link for one core family into a directory.

    gen.py [--family FAMILY] SCALE OUTDIR [SEED]

FAMILY is core12, core14, core16 or core16e (the default). Everything grows
linearly with SCALE; the file `counts` says what one run holds.

core16e, at scale 1: 500 objects and four libraries of 250 members each,
every member imported; about 50,000 relocations of most Core16E types,
about 28,500 symbol entries (9,700 definitions, the rest references and
file markers), 21,000 line numbers, initialized and uninitialized data,
activation records, a stack and a filled code page. From scale 8 on, the
objects own more data bytes than the device has: the command file adds
larger data memories above its own (the instructions keep the low 12 bits
of those addresses), and from scale 16 on the code page stops at the end of
the device's program memory. Each module (object or
member) has its own code section with three functions. Their instructions
call and jump to functions of other modules, load addresses of data, select
banks, move between data bytes and branch back to the start of their
function. Objects own the data: one byte in one of sixteen shared
uninitialized sections, and every fourth object one byte in one of eight
initialized sections. Every tenth object adds a function with an overlaid
activation record.

core12, core14 and core16 build the same kind of program on the largest
device of the family, with that family's instructions and every relocation
type it has. Their program memories hold 2K, 8K and 16K words, so a module
is smaller and there are fewer of them: the counts at scale 1 are chosen so
that scale 4 still fits the device, and a larger scale is refused. Calls go
through page selection, data accesses through bank selection; the command
file declares every page and bank of the device (a bank's shared bytes as a
SHAREBANK), fills the unused program memory and, except on Core12 whose
return stack is in hardware and whose data memory is 72 bytes, reserves a
stack. The first object defines the special registers the code names as
absolute symbols. Activation records come in pairs of which one calls the
other, so that some records interfere. Core12 calls reach only the lower
half of a page: every function is entered through a stub in the lower half
of its module's page that jumps to the body, which may lie anywhere.

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
PROGRAM_BYTES = 0x200000
DATA_BYTES = 0xE60       # its banks below the special registers, less the stack
LARGE_BANK = 0x800
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


# Core12, Core14 and Core16 address program memory in words of two raw
# bytes: relocation addresses count bytes, symbol values and line addresses
# count words.

class WordFamily:
    stubs = False      # Core12: functions are entered through lower-half stubs
    stack = 0
    # Counts at scale 1, set so that scale 4 still fits the device.
    objects = members = functions = 0
    body = (0, 0)
    udata_sections = idata_sections = 0
    idata_every = shared_every = actrec_every = 1

    def call(self, rng, f):
        """The words that call f, page selection included."""
        raise NotImplementedError

    def instruction(self, rng, here, f, v):
        """One instruction, with whatever selects its page or bank, in the
        function whose body starts at here; f is a function and v a data
        byte that it may use."""
        raise NotImplementedError


class Core12(WordFamily):
    name = "core12"
    device = 0x390E          # t12-2k-128a: 2K words in four pages, 128 data bytes
    rom_width = 12
    rom_words = 0x800
    pages = 4
    stubs = True
    objects = 8
    members = 6
    functions = 1
    body = (2, 4)
    udata_sections = 4
    idata_sections = 2
    idata_every = 4
    shared_every = 8
    actrec_every = 5
    fill = "0xFFF"
    ret = "00 08"            # retlw 0: the family has no plain return
    registers = [("status", 3), ("fsr", 4), ("port5", 5), ("port6", 6), ("port7", 7)]

    def call(self, rng, f):
        sel = rng.choice(["RELOCT_PAGESEL", "RELOCT_PAGESEL_BITS"])
        return [("00 00 00 00", [(0, f, sel)]), ("00 09", [(0, f, "RELOCT_CALL")])]

    def jump(self, target):
        return [("00 00 00 00", [(0, target, "RELOCT_PAGESEL")]), ("00 0a", [(0, target, "RELOCT_GOTO")])]

    def instruction(self, rng, here, f, v):
        kind = rng.randrange(9)
        if kind <= 1:
            return self.call(rng, f)
        if kind == 2:
            # A call before may have selected another page.
            return self.jump(here)
        if kind == 3:
            return [("00 00 00 00", [(0, v, "RELOCT_BANKSEL")]), ("00 02", [(0, v, "RELOCT_F")])]
        if kind == 4:
            return [("00 00 00 00", [(0, v, "RELOCT_IBANKSEL")]), ("00 0c", [(0, v, "RELOCT_LOW")]),
                    ("20 00", [(0, "fsr", "RELOCT_F")])]
        if kind == 5:
            return [("00 0c", [(0, f, "RELOCT_LOW")]), ("00 0c", [(0, f, "RELOCT_HIGH")])]
        if kind == 6:
            return [("00 00", [(0, rng.choice(["port5", "port6", "port7"]), "RELOCT_TRIS")])]
        if kind == 7:
            return [("a0 02", [(0, v, "RELOCT_F")])]
        return [("00 00", [(0, f, "RELOCT_ALL")])]

    def lkr(self):
        out = []
        for p in range(self.pages):
            base = p * 0x200
            # The last word is the reset vector.
            top = base + 0x1FF - (1 if p == self.pages - 1 else 0)
            out.append("CODEPAGE NAME=page%d START=0x%X END=0x%X FILL=%s\n" % (p, base, base + 0xFF, self.fill))
            out.append("CODEPAGE NAME=page%dhi START=0x%X END=0x%X FILL=%s\n" % (p, base + 0x100, top, self.fill))
        out.append("CODEPAGE NAME=resetvec START=0x7FF END=0x7FF PROTECTED\n")
        out.append("DATABANK NAME=sfr START=0x0 END=0x7 PROTECTED\n")
        out.append("SHAREBANK NAME=shared START=0x8 END=0xF\n")
        for b in range(4):
            out.append("DATABANK NAME=gpr%d START=0x%X END=0x%X\n" % (b, b * 0x20 + 0x10, b * 0x20 + 0x1F))
        out.append("SECTION NAME=reset ROM=resetvec\n")
        for p in range(self.pages):
            out.append("SECTION NAME=.ent%d ROM=page%d\n" % (p, p))
        return "".join(out)

    def reset(self):
        # The device starts at its last word with page 0 selected.
        return [("00 0a", [(0, "main", "RELOCT_GOTO")])]


class Core14(WordFamily):
    name = "core14"
    device = 0x4193          # t14-8k-512a: 8K words in four pages, four banks
    rom_width = 14
    rom_words = 0x2000
    objects = 32
    members = 12
    functions = 2
    body = (3, 5)
    udata_sections = 8
    idata_sections = 4
    idata_every = 4
    shared_every = 16
    actrec_every = 10
    stack = 0x10
    fill = "0x3FFF"
    ret = "08 00"
    registers = [("status", 3), ("fsr", 4), ("pclath", 10)]

    def call(self, rng, f):
        sel = rng.choice(["RELOCT_PAGESEL", "RELOCT_PAGESEL_WREG", "RELOCT_PAGESEL_BITS"])
        return [("00 00 00 00", [(0, f, sel)]), ("00 20", [(0, f, "RELOCT_CALL")])]

    def instruction(self, rng, here, f, v):
        kind = rng.randrange(9)
        if kind <= 1:
            return self.call(rng, f)
        if kind == 2:
            # A call before may have selected another page.
            sel = rng.choice(["RELOCT_PAGESEL", "RELOCT_PAGESEL_WREG", "RELOCT_PAGESEL_BITS"])
            return [("00 00 00 00", [(0, here, sel)]), ("00 28", [(0, here, "RELOCT_GOTO")])]
        if kind == 3:
            return [("00 00 00 00", [(0, v, "RELOCT_BANKSEL")]), ("00 08", [(0, v, "RELOCT_F")])]
        if kind == 4:
            return [("00 00", [(0, v, "RELOCT_IBANKSEL")]), ("00 30", [(0, v, "RELOCT_LOW")]),
                    ("80 00", [(0, "fsr", "RELOCT_F")])]
        if kind == 5:
            return [("00 30", [(0, f, "RELOCT_LOW")]), ("00 30", [(0, f, "RELOCT_HIGH")])]
        if kind == 6:
            return [("80 00", [(0, v, "RELOCT_F")])]
        if kind == 7:
            return [("80 0a", [(0, v, "RELOCT_F")])]
        return [("00 00", [(0, f, "RELOCT_ALL")])]

    def lkr(self):
        out = ["CODEPAGE NAME=vectors START=0x0 END=0x4 PROTECTED\n",
               "CODEPAGE NAME=page0 START=0x5 END=0x7FF FILL=%s\n" % self.fill]
        for p in range(1, 4):
            out.append("CODEPAGE NAME=page%d START=0x%X END=0x%X FILL=%s\n"
                       % (p, p * 0x800, p * 0x800 + 0x7FF, self.fill))
        out.append("DATABANK NAME=sfr0 START=0x0 END=0x1F PROTECTED\n")
        out.append("SHAREBANK NAME=gprnobnk START=0x70 END=0x7F\n")
        for b in range(4):
            out.append("DATABANK NAME=gpr%d START=0x%X END=0x%X\n" % (b, b * 0x80 + 0x20, b * 0x80 + 0x6F))
        out.append("SECTION NAME=reset ROM=vectors\n")
        out.append("STACK SIZE=0x%X RAM=gpr3\n" % self.stack)
        return "".join(out)

    def reset(self):
        return [("00 00 00 00", [(0, "main", "RELOCT_PAGESEL_WREG")]), ("00 28", [(0, "main", "RELOCT_GOTO")])]


class Core16(WordFamily):
    name = "core16"
    device = 0x3DC5          # t16-16k-2048a: 16K words in two pages, eight banks
    rom_width = 16
    rom_words = 0x4000
    objects = 64
    members = 28
    functions = 2
    body = (3, 5)
    udata_sections = 16
    idata_sections = 8
    idata_every = 4
    shared_every = 60
    actrec_every = 10
    stack = 0x40
    fill = "0xFFFF"
    ret = "02 00"
    registers = [("fsr0", 1), ("pclath", 3), ("port16", 0x10), ("port17", 0x11), ("port18", 0x12)]

    def call(self, rng, f):
        sel = rng.choice(["RELOCT_PAGESEL", "RELOCT_PAGESEL_WREG"])
        return [("00 00 00 00", [(0, f, sel)]), ("00 e0", [(0, f, "RELOCT_CALL")])]

    def instruction(self, rng, here, f, v):
        kind = rng.randrange(10)
        if kind <= 1:
            return self.call(rng, f)
        if kind == 2:
            # A call before may have selected another page.
            sel = rng.choice(["RELOCT_PAGESEL", "RELOCT_PAGESEL_WREG"])
            return [("00 00 00 00", [(0, here, sel)]), ("00 c0", [(0, here, "RELOCT_GOTO")])]
        if kind == 3:
            sel = rng.choice(["RELOCT_BANKSEL", "RELOCT_IBANKSEL"])
            return [("00 00", [(0, v, sel)]), ("00 01", [(0, v, "RELOCT_F")])]
        if kind == 4:
            return [("00 ba", [(0, v, "RELOCT_MOVLR")]), ("00 01", [(0, v, "RELOCT_F")])]
        if kind == 5:
            return [("00 b8", [(0, v, "RELOCT_MOVLB")])]
        if kind == 6:
            p = rng.choice(["port16", "port17", "port18"])
            return [("00 40", [(0, p, "RELOCT_P"), (0, v, "RELOCT_F")])]
        if kind == 7:
            return [("00 b0", [(0, f, "RELOCT_LOW")]), ("00 b0", [(0, f, "RELOCT_HIGH")])]
        if kind == 8:
            return [("00 b0", [(0, v, "RELOCT_LOW")]), ("00 01", [(0, "fsr0", "RELOCT_F")])]
        return [("00 00", [(0, f, "RELOCT_ALL")])]

    def lkr(self):
        out = ["CODEPAGE NAME=vectors START=0x0 END=0x27 PROTECTED\n",
               "CODEPAGE NAME=page0 START=0x28 END=0x1FFF FILL=%s\n" % self.fill,
               "CODEPAGE NAME=page1 START=0x2000 END=0x3FFF FILL=%s\n" % self.fill,
               "DATABANK NAME=sfr START=0x0 END=0x19 PROTECTED\n",
               "SHAREBANK NAME=gprnobnk START=0x1A END=0x1F\n"]
        for b in range(8):
            out.append("DATABANK NAME=gpr%d START=0x%X END=0x%X\n" % (b, b * 0x100 + 0x20, b * 0x100 + 0xFF))
        out.append("SECTION NAME=reset ROM=vectors\n")
        out.append("STACK SIZE=0x%X RAM=gpr7\n" % self.stack)
        return "".join(out)

    def reset(self):
        return [("00 00 00 00", [(0, "main", "RELOCT_PAGESEL")]), ("00 c0", [(0, "main", "RELOCT_GOTO")])]


WORD_FAMILIES = {f.name: f for f in (Core12(), Core14(), Core16())}


def emit(items, address, relocs, externs, code):
    """Appends instruction words at byte address; returns the next address."""
    for text, rels in items:
        for offset, sym, typ in rels:
            relocs.append("      - { address: %d, symbol: %s, type: %s }" % (address + offset, sym, typ))
            externs.add(sym)
        code.append(text)
        address += len(text.split())
    return address


def section(name, code, relocs, lines=None):
    out = ["  - name: %s" % name, "    flags: STYP_TEXT", '    data: "%s"' % " ".join(code)]
    if relocs:
        out += ["    relocs:"] + relocs
    if lines:
        out += ["    lines:"] + lines
    return out


def describe_words(fam, rng, module, must_call, callees, data):
    """One module of a word-addressed family: its YAML text, the program
    words of its sections other than the entry stubs, and those of its
    stubs."""
    m = module.index
    symbols = ["  - { name: .file, section: DEBUG, class: C_FILE, aux: [ { kind: file, name: %s.c } ] }"
               % module.name]
    sections = []
    externs = set()
    defined = set()
    code, relocs, lines = [], [], []
    entry, entry_relocs = [], []
    address = 0
    entry_address = 0
    extra = 0          # bytes of the activation-record function and the reset jump
    line = 10
    page = m % getattr(fam, "pages", 1)
    for k in range(fam.functions):
        name = func(m, k)
        here = "b%d_%d" % (m, k) if fam.stubs else name
        if fam.stubs:
            symbols.append("  - { name: %s, section: .ent%d, value: %d, type: 0x20 }"
                           % (name, page, entry_address // 2))
            symbols.append("  - { name: %s, section: .c%d, value: %d, type: 0x20, class: C_STAT }"
                           % (here, m, address // 2))
            entry_address = emit(fam.jump(here), entry_address, entry_relocs, externs, entry)
        else:
            symbols.append("  - { name: %s, section: .c%d, value: %d, type: 0x20 }" % (name, m, address // 2))
        defined |= {name, here}
        body = []
        if k == 0:
            for g in must_call:
                body.append(fam.call(rng, g))
        for _ in range(rng.randint(*fam.body)):
            body.append(fam.instruction(rng, here, rng.choice(callees), rng.choice(data)))
        body.append([(fam.ret, [])])
        for n, words in enumerate(body):
            if n % 2 == 0:
                entry_line = "{ line: %d, address: %d" % (line, address // 2)
                if n == 0:
                    entry_line += ", file: .file, function: %s" % here
                lines.append("      - " + entry_line + " }")
            line += 1
            address = emit(words, address, relocs, externs, code)
        line += 3
    if module.is_object:
        sections.append("  - { name: .ud%d, flags: STYP_BSS, size: 1 }" % (m % fam.udata_sections))
        symbols.append("  - { name: v%d, section: .ud%d }" % (m, m % fam.udata_sections))
        defined.add("v%d" % m)
        if m % fam.idata_every == 0:
            j = (m // fam.idata_every) % fam.idata_sections
            sections.append('  - { name: .id%d, flags: STYP_DATA, data: "%02x" }' % (j, m & 0xFF))
            symbols.append("  - { name: w%d, section: .id%d }" % (m, j))
            defined.add("w%d" % m)
        if m % fam.shared_every == 0:
            sections.append("  - { name: .sh, flags: STYP_BSS|STYP_SHARED, size: 1 }")
            symbols.append("  - { name: s%d, section: .sh }" % m)
            defined.add("s%d" % m)
        if m % fam.actrec_every == 0:
            # Pairs: the second record's function calls the first's, so the
            # two records cannot share bytes.
            rec = "r%d" % m
            callee = "r%d" % (m - fam.actrec_every) if (m // fam.actrec_every) % 2 else None
            rcode, rrelocs = [], []
            words = (fam.call(rng, callee) if callee else []) + [(fam.ret, [])]
            where = ".ent%d" % page if fam.stubs else ".r%d" % m
            start = entry_address if fam.stubs else 0
            if fam.stubs:
                entry_address = emit(words, entry_address, entry_relocs, externs, entry)
            else:
                extra += emit(words, 0, rrelocs, externs, rcode)
                sections += section(where, rcode, rrelocs)
            sections.append("  - { name: .a%d, flags: STYP_ACTREC, size: 2 }" % m)
            aux = "{ kind: fcn, actscnum: .a%d }" % m
            if callee:
                aux += ", { kind: fcn_calls, callee: %s }" % callee
            symbols.append("  - { name: %s, section: %s, value: %d, type: 0x20, aux: [ %s ] }"
                           % (rec, where, start // 2, aux))
            defined.add(rec)
    if m == 0:
        symbols.append("  - { name: main, section: %s, type: 0x20 }" % (".ent0" if fam.stubs else ".c0"))
        defined.add("main")
        # The special registers, as an absolute section that the command
        # file's protected bank of registers holds.
        first = min(value for _, value in fam.registers)
        last = max(value for _, value in fam.registers)
        sections.append("  - { name: .regs, flags: STYP_BSS|STYP_ABS, address: %d, size: %d }"
                        % (first, last - first + 1))
        for reg, value in fam.registers:
            symbols.append("  - { name: %s, section: .regs, value: %d }" % (reg, value))
            defined.add(reg)
        rcode, rrelocs = [], []
        extra += emit(fam.reset(), 0, rrelocs, externs, rcode)
        sections = section("reset", rcode, rrelocs) + sections
    symbols.append("  - { name: l%d, section: .c%d, value: %d, class: C_LABEL }" % (m, m, address // 2 - 1))
    sections = section(".c%d" % m, code, relocs, lines) + sections
    if entry:
        sections = section(".ent%d" % page, entry, entry_relocs) + sections
    for sym in sorted(externs - defined):
        symbols.append("  - { name: %s }" % sym)
    symbols.append("  - { name: .eof, section: DEBUG, class: C_FILE }")
    text = ("optional: { device: 0x%04X, rom_width: %d, ram_width: 8 }\nsections:\n%s\nsymbols:\n%s\n"
            % (fam.device, fam.rom_width, "\n".join(sections), "\n".join(symbols)))
    return text, (address + extra) // 2, entry_address // 2


def write_inputs(out, yaml2obj, objects, libs, texts):
    os.makedirs(out, exist_ok=True)
    def build(name, text):
        path = os.path.join(out, name)
        with open(path + ".yaml", "w") as f:
            f.write(text)
        subprocess.run([yaml2obj, path + ".yaml", "-o", path], check=True)
        os.remove(path + ".yaml")

    jobs = [(m.name + ".o", texts[m.name]) for m in objects]
    for lib, mods in enumerate(libs):
        body = "".join("    - name: %s.o\n      object:\n%s" % (
            m.name, "".join("        " + l + "\n" for l in texts[m.name].splitlines())) for m in mods)
        jobs.append(("lib%d.lib" % lib, "archive:\n  members:\n" + body))
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        for f in [pool.submit(build, n, t) for n, t in jobs]:
            f.result()


def count(text, counts):
    counts["relocations"] += text.count("type: RELOCT_")
    counts["line numbers"] += text.count("{ line: ")
    counts["symbols"] += text.count("  - { name: ") - text.count("flags: ST")


def modules_of(nobj, nmem):
    modules = [Module(i, "o%d" % i, True) for i in range(nobj)]
    libs = []
    for lib in range(LIBRARIES):
        first = len(modules)
        modules += [Module(first + j, "l%d_%d" % (lib, j), False) for j in range(nmem)]
        libs.append(modules[first:])
    return modules, libs


def write_args(out, nobj):
    with open(os.path.join(out, "args"), "w") as f:
        f.write(" ".join(["scale.lkr"] + ["o%d.o" % i for i in range(nobj)] +
                         ["lib%d.lib" % i for i in range(LIBRARIES)]) + "\n")


def main_core16e(scale, out, rng, yaml2obj):
    nobj = OBJECTS * scale
    nmem = MEMBERS * scale
    modules, libs = modules_of(nobj, nmem)
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
        count(text, counts)
        code_bytes += size + 4
    write_inputs(out, yaml2obj, modules[:nobj], libs, texts)

    # A quarter more program memory than the code needs, filled, as far as
    # the device goes: from scale 16 on the code alone takes most of it.
    end = min((code_bytes * 5 // 4 + 0x3FF) & ~0x3FF, PROGRAM_BYTES)
    if code_bytes > end:
        sys.exit("core16e at scale %d needs %d bytes of program memory; the device has %d"
                 % (scale, code_bytes, PROGRAM_BYTES))
    # Data beyond what the device's banks hold (from scale 8 on, where
    # objects own more bytes than its 3,840) goes into larger memories above
    # them. The link does all its work as at the smaller scales; the
    # instructions' 12-bit data addresses keep only the low bits of those.
    data_bytes = nobj + len(range(0, nobj, 4)) + 2 * len(range(0, nobj, 10))
    extra = max(0, data_bytes * 5 // 4 - DATA_BYTES)
    with open(os.path.join(out, "scale.lkr"), "w") as f:
        f.write("LIBPATH .\n")
        f.write("CODEPAGE NAME=program START=0x0 END=0x%X FILL=0xFFFF\n" % (end - 1))
        f.write("ACCESSBANK NAME=accessram START=0x0 END=0x5F\n")
        f.write("DATABANK NAME=gpr0 START=0x60 END=0xFF\n")
        for b in range(1, 15):
            f.write("DATABANK NAME=gpr%d START=0x%X END=0x%X\n" % (b, b * 0x100, b * 0x100 + 0xFF))
        f.write("ACCESSBANK NAME=accesssfr START=0xF60 END=0xFFF PROTECTED\n")
        for b in range((extra + LARGE_BANK - 1) // LARGE_BANK):
            start = 0x1000 + b * LARGE_BANK
            f.write("DATABANK NAME=large%d START=0x%X END=0x%X\n" % (b, start, start + LARGE_BANK - 1))
        f.write("STACK SIZE=0x40 RAM=gpr14\n")
    with open(os.path.join(out, "counts"), "w") as f:
        f.write("objects %d, members %d x %d, relocations %d, symbol entries %d, line numbers %d\n" % (
            nobj, LIBRARIES, nmem, counts["relocations"], counts["symbols"], counts["line numbers"]))
    write_args(out, nobj)


def main_words(fam, scale, out, rng, yaml2obj):
    nobj = fam.objects * scale
    nmem = fam.members * scale
    modules, libs = modules_of(nobj, nmem)
    members = modules[nobj:]
    data = (["v%d" % i for i in range(nobj)] + ["w%d" % i for i in range(0, nobj, fam.idata_every)] +
            ["s%d" % i for i in range(0, nobj, fam.shared_every)])

    texts = {}
    words = 0
    entries = [0] * getattr(fam, "pages", 1)
    counts = {"relocations": 0, "symbols": 0, "line numbers": 0}
    for module in modules:
        callees = [func(rng.randrange(len(modules)), rng.randrange(fam.functions)) for _ in range(4)]
        # Every member is called from an object, so every one is imported.
        calls = [func(mem.index, 0) for mem in members[module.index::nobj]] if module.is_object else []
        text, size, stubs = describe_words(fam, rng, module, calls, callees, data)
        texts[module.name] = text
        count(text, counts)
        words += size + stubs
        entries[module.index % len(entries)] += stubs

    # Initialized data lives in program memory too: its images (one word per
    # byte where the word is not a whole number of bytes) and their table.
    idata = len(range(0, nobj, fam.idata_every))
    per_byte = 1 if fam.rom_width % 8 else 0.5
    words += int(idata * per_byte + fam.idata_sections + (2 + 6 * fam.idata_sections) * per_byte + 1)
    # Best fit leaves a little unused at the end of each page.
    room = fam.rom_words * 95 // 100
    if words > room or (fam.stubs and max(entries) > 0x100):
        sys.exit("%s at scale %d needs about %d words of program memory (%d in the fullest page's stubs); "
                 "the device has %d" % (fam.name, scale, words, max(entries), fam.rom_words))
    write_inputs(out, yaml2obj, modules[:nobj], libs, texts)

    with open(os.path.join(out, "scale.lkr"), "w") as f:
        f.write("LIBPATH .\n")
        f.write(fam.lkr())
    with open(os.path.join(out, "counts"), "w") as f:
        f.write("objects %d, members %d x %d (scaled down for %dK words of program memory), "
                "relocations %d, symbol entries %d, line numbers %d, %d program words\n" % (
                    nobj, LIBRARIES, nmem, fam.rom_words // 1024, counts["relocations"], counts["symbols"],
                    counts["line numbers"], words))
    write_args(out, nobj)


def main():
    args = sys.argv[1:]
    family = "core16e"
    if args[:1] == ["--family"] and len(args) > 1:
        family = args[1]
        args = args[2:]
    if len(args) not in (2, 3) or family not in ("core16e",) + tuple(WORD_FAMILIES):
        sys.exit(__doc__)
    scale = int(args[0])
    if scale < 1:
        sys.exit("the scale is a whole number from 1 up")
    out = args[1]
    rng = random.Random(int(args[2]) if len(args) > 2 else 1)
    yaml2obj = os.environ.get("TARSIL_YAML2OBJ", "tarsil-yaml2obj")
    if family == "core16e":
        main_core16e(scale, out, rng, yaml2obj)
    else:
        main_words(WORD_FAMILIES[family], scale, out, rng, yaml2obj)


if __name__ == "__main__":
    main()
