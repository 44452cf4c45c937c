#!/usr/bin/env python3
"""Builds, from `tarsil-objdump --sections --data` output on standard input,
the binary image of an executable's program memory: the bytes of every code
and romdata section at byte address s_paddr * bytes-per-location, gaps as
zeros, starting at the lowest address (as `objcopy -O binary` lays out a
HEX file). With --half low|high, only the even or odd bytes, each at half
its address (one file of a split pair).

    progimage.py BYTES_PER_LOCATION OUT [--half low|high] < dump
"""
import re
import sys


def sections(lines):
    current = None
    rows = []
    for line in lines:
        m = re.match(r"section \d+ '(.*)':$", line)
        if m:
            if current:
                yield current, rows
            current, rows = {"name": m.group(1)}, []
            continue
        if current is None:
            continue
        m = re.match(r"\s+s_paddr\s+0x([0-9a-f]+)", line)
        if m:
            current["paddr"] = int(m.group(1), 16)
        m = re.match(r"\s+kind\s+(\w+)", line)
        if m:
            current["kind"] = m.group(1)
        m = re.match(r"\s+data \((\d+) bytes\):", line)
        if m:
            current["size"] = int(m.group(1))
        m = re.match(r"\s+([0-9a-f]+): ((?:[0-9a-f]{2} ?)+)$", line)
        if m:
            rows.append((int(m.group(1), 16), bytes.fromhex(m.group(2))))
        elif line.strip() == "*":
            rows.append(("*", None))
    if current:
        yield current, rows


def data_of(rows):
    out = bytearray()
    pending = None
    for offset, row in rows:
        if offset == "*":
            pending = out[-16:]
            continue
        if pending is not None:
            while len(out) < offset:
                out += pending
            pending = None
        out += row
    return bytes(out)


def main():
    bpl = int(sys.argv[1])
    target = sys.argv[2]
    half = sys.argv[4] if len(sys.argv) > 4 and sys.argv[3] == "--half" else None
    image = {}
    for sec, rows in sections(sys.stdin.read().splitlines()):
        if sec.get("kind") not in ("code", "romdata"):
            continue
        data = data_of(rows)
        base = sec["paddr"] * bpl
        for i, b in enumerate(data):
            addr = base + i
            if half == "low" and addr % 2:
                continue
            if half == "high" and addr % 2 == 0:
                continue
            image[addr // 2 if half else addr] = b
    if not image:
        open(target, "wb").close()
        return
    low, high = min(image), max(image)
    out = bytearray(high - low + 1)
    for addr, b in image.items():
        out[addr - low] = b
    open(target, "wb").write(bytes(out))


main()
