#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Writes the Core16E scale program's twin for another 8-bit target as ELF
objects and archives, for ld.lld to link beside tarsil.

    gen.py SCALE OUTDIR [SEED]

The program is drawn from the same random choices as ../scale/gen.py's
(the same seed gives the same modules, callees, data and instruction kinds),
so it has the same counts: objects, library members, functions, data bytes,
relocations in the code and line records. Each instruction of the original
becomes one or more of this target's with as many relocations against the
same symbols: calls and jumps, loads of a function's or a datum's address
in bytes, direct data moves and branches back to the function's start. Line
records are `.loc` directives, which the assembler also describes with a
little debug information of its own (a handful more relocations per module,
in the debug sections).

Modules are assembled with avr-as, two at a time, and the libraries packed
with avr-ar. The linker script `scale.ld` puts the code from address 0 and
fills program memory up to the same quarter more than the code needs, as
the Core16E command file does; data goes into the data space after it.
The file `args` holds ld.lld's inputs in command-line order and `counts`
what the program holds.
"""
import concurrent.futures
import os
import random
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scale"))
import gen  # noqa: E402  (the Core16E program's shape and choices)

AS = ["avr-as", "-mmcu=avr6", "-mno-link-relax"]

# Each Core16E instruction's relocation types, first to last, and the
# instructions written for it: {f} is the first relocation's symbol, {g} the
# second's. Each line carries one relocation.
TRANSLATION = {
    ("RELOCT_CALL", "RELOCT_CALL2"): ["call {f}", "ldi r24, lo8(pm({f}))"],
    ("RELOCT_GOTO", "RELOCT_CALL2"): ["jmp {f}", "ldi r25, hi8(pm({f}))"],
    ("RELOCT_LFSR1", "RELOCT_LFSR2"): ["ldi r26, lo8({f})", "ldi r27, hi8({f})"],
    ("RELOCT_F", "RELOCT_ACCESS"): ["lds r16, {f}", "sts {f}, r16"],
    ("RELOCT_BANKSEL",): ["lds r17, {f}"],
    ("RELOCT_LOW",): ["ldi r16, lo8({f})"],
    ("RELOCT_HIGH",): ["ldi r17, hi8({f})"],
    ("RELOCT_UPPER",): ["ldi r18, hh8({f})"],
    ("RELOCT_FF1", "RELOCT_FF2"): ["lds r16, {f}", "sts {g}, r16"],
    ("RELOCT_BRA",): ["rjmp {f}"],
    ("RELOCT_CONDBRA",): ["brne {f}"],
    ("RELOCT_ALL",): [".word {f}"],
    (): ["ret"],
}


def size_of(line):
    op = line.split()[0]
    return 4 if op in ("call", "jmp", "lds", "sts") else 2


def describe(rng, module, callees, data):
    """The module's assembly, its code bytes and its counts; the random
    choices are gen.describe's, in the same order."""
    m = module.index
    out = ['\t.file 1 "%s.c"' % module.name, '\t.section .text.c%d,"ax",@progbits' % m]
    address = relocs = lines = 0
    line = 10
    for k in range(gen.FUNCTIONS):
        name = gen.func(m, k)
        out += ["\t.global %s" % name, "\t.type %s,@function" % name, "%s:" % name]
        if m == 0 and k == 0:
            out += ["\t.global main", "main:"]
        body = gen.instructions(rng, module, k, callees, data)
        for n, (_, rels) in enumerate(body):
            if n % 2 == 0:
                out.append("\t.loc 1 %d" % line)
                lines += 1
            line += 1
            symbols = [s for _, s, _ in rels] + ["", ""]
            if n == len(body) - 1 and k == gen.FUNCTIONS - 1:
                out.append("l%d:" % m)
            for text in TRANSLATION[tuple(t for _, _, t in rels)]:
                out.append("\t" + text.format(f=symbols[0], g=symbols[1]))
                address += size_of(text)
            relocs += len(rels)
        out.append("\t.size %s, .-%s" % (name, name))
        line += 3
    if module.is_object:
        out += ['\t.section .bss.ud%d,"aw",@nobits' % (m % gen.UDATA_SECTIONS), "\t.global v%d" % m,
                "v%d:\t.zero 1" % m]
        if m % 4 == 0:
            out += ['\t.section .data.id%d,"aw",@progbits' % (m % gen.IDATA_SECTIONS), "\t.global w%d" % m,
                    "w%d:\t.byte 0x%02x" % (m, m & 0xFF)]
        if m % 10 == 0:
            out += ['\t.section .bss.a%d,"aw",@nobits' % m, "a%d:\t.zero 2" % m,
                    '\t.section .text.r%d,"ax",@progbits' % m, "\t.global r%d" % m, "r%d:\tret" % m]
            address += 2
    return "\n".join(out) + "\n", address, relocs, lines


def assemble(out, name, text):
    path = os.path.join(out, name)
    with open(path + ".s", "w") as f:
        f.write(text)
    subprocess.run(AS + [path + ".s", "-o", path + ".o"], check=True)
    os.remove(path + ".s")


def write_script(out, code_bytes):
    end = (code_bytes * 5 // 4 + 0x3FF) & ~0x3FF
    with open(os.path.join(out, "scale.ld"), "w") as f:
        f.write("MEMORY {\n  text (rx) : ORIGIN = 0, LENGTH = 8M\n"
                "  data (rw!x) : ORIGIN = 0x800060, LENGTH = 0xFFA0\n}\n"
                "ENTRY(main)\nSECTIONS {\n"
                "  .text : { *(.text*) . = 0x%X; } > text =0xFFFF\n"
                "  .data : { *(.data*) } > data AT > text\n"
                "  .bss : { *(.bss*) } > data\n}\n" % end)


def main():
    args = sys.argv[1:]
    if len(args) not in (2, 3):
        sys.exit(__doc__)
    scale, out = int(args[0]), args[1]
    rng = random.Random(int(args[2]) if len(args) > 2 else 1)
    os.makedirs(out, exist_ok=True)
    nobj, nmem = gen.OBJECTS * scale, gen.MEMBERS * scale
    modules, libs = gen.modules_of(nobj, nmem)
    members = modules[nobj:]
    data = ["v%d" % i for i in range(nobj)] + ["w%d" % i for i in range(0, nobj, 4)]
    texts = {}
    code_bytes = relocs = lines = 0
    for module in modules:
        callees = [gen.func(rng.randrange(len(modules)), rng.randrange(gen.FUNCTIONS)) for _ in range(4)]
        if module.is_object:
            callees += [gen.func(mem.index, 0) for mem in members[module.index::nobj]]
        text, size, r, n = describe(rng, module, callees, data)
        texts[module.name] = text
        code_bytes += size
        relocs += r
        lines += n
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        for f in [pool.submit(assemble, out, m.name, texts[m.name]) for m in modules]:
            f.result()
    for lib, mods in enumerate(libs):
        path = os.path.join(out, "lib%d.lib" % lib)
        if os.path.exists(path):
            os.remove(path)
        subprocess.run(["avr-ar", "rcs", path] + [m.name + ".o" for m in mods], cwd=out, check=True)
        for m in mods:
            os.remove(os.path.join(out, m.name + ".o"))
    write_script(out, code_bytes)
    with open(os.path.join(out, "counts"), "w") as f:
        f.write("objects %d, members %d x %d, relocations %d (in the code), line records %d, code bytes %d\n"
                % (nobj, gen.LIBRARIES, nmem, relocs, lines, code_bytes))
    with open(os.path.join(out, "args"), "w") as f:
        f.write(" ".join(["-T", "scale.ld"] + ["o%d.o" % i for i in range(nobj)] +
                         ["lib%d.lib" % i for i in range(gen.LIBRARIES)]) + "\n")


if __name__ == "__main__":
    main()
