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
    """Each section's header fields and its data, a repeated-row marker ("*")
    standing for copies of the row before it up to the next offset."""
    sec = None
    for line in lines:
        m = re.match(r"section \d+ '(.*)':$", line)
        if m:
            if sec:
                yield sec
            sec = {"name": m.group(1), "data": bytearray(), "pending": None}
        elif sec is not None:
            for key, pattern in (("paddr", r"\s+s_paddr\s+0x([0-9a-f]+)"), ("kind", r"\s+kind\s+(\w+)")):
                m = re.match(pattern, line)
                if m:
                    sec[key] = int(m.group(1), 16) if key == "paddr" else m.group(1)
            m = re.match(r"\s+([0-9a-f]+): ((?:[0-9a-f]{2} ?)+)$", line)
            if m:
                offset, data = int(m.group(1), 16), sec["data"]
                while sec["pending"] is not None and len(data) < offset:
                    data += sec["pending"]
                sec["pending"] = None
                data += bytes.fromhex(m.group(2))
            elif line.strip() == "*":
                sec["pending"] = sec["data"][-16:]
    if sec:
        yield sec


def main():
    bpl, target = int(sys.argv[1]), sys.argv[2]
    half = sys.argv[4] if len(sys.argv) > 4 and sys.argv[3] == "--half" else None
    image = {}
    for sec in sections(sys.stdin.read().splitlines()):
        if sec.get("kind") not in ("code", "romdata"):
            continue
        for i, b in enumerate(sec["data"]):
            addr = sec["paddr"] * bpl + i
            if half is None:
                image[addr] = b
            elif (addr % 2 == 1) == (half == "high"):
                image[addr // 2] = b
    out = bytearray()
    if image:
        low = min(image)
        out = bytearray(max(image) - low + 1)
        for addr, b in image.items():
            out[addr - low] = b
    open(target, "wb").write(bytes(out))


main()
