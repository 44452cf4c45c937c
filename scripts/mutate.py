#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Mutation sampler: how many small faults in src/ do the tests catch?

    scripts/mutate.py [-n N] [--seed S] [--list] [--only 3,7] [--timeout SECONDS]

Picks N lines under src/ with a fixed seed, spread over the subsystems (the
folders of src/) in proportion to the lines each could mutate, and puts one
small fault into each: a comparison flipped (< and <=, > and >=), == and !=
swapped, && and || swapped, a constant one off, a mask or a shift changed, a
statement deleted, a condition negated, a boolean return flipped. Lines of
diagnostics (debug output, the print functions, reports) and assertions are
never picked. The same seed and N on the same source give the same mutants,
numbered in file and line order; --list shows them without running anything,
and --only runs some of them by number.

Each mutant is built and tested on a copy of the working tree in
build/mutate (its own build in build/mutate/build/default), so neither the
sources nor build/default ever hold a fault: the sources are only read. The
copy's file is restored after every mutant, on Ctrl-C and on any error as
well, and the copy is brought up to date with the working tree at the start
of every run. A mutant is killed when the unit tests or the end-to-end tests
fail (each run stops at its first failure), survives when both pass, did not
compile when its build fails, and timed out when the suite outlives the
timeout (by default three times the clean suite's time plus a minute).
Survivors are listed as file:line and the change, to be judged by hand: some
are equivalent mutants that no test could catch.
"""

import argparse
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
KINDS = ("comparison", "equality", "logic", "constant", "mask", "shift", "delete", "negate", "return")

# Lines that only serve diagnostics or assertions; a fault there shows in no
# output that matters, or stops the program by design.
DIAGNOSTIC = re.compile(
    r"\b(TARSIL_ASSERT\w*|assert|static_assert|Debug|debug|printf|fprintf|cout|cerr|clog|dumpData)\b")
# Whole functions that only dump state for the debug channels.
DUMP_FUNCTION = re.compile(r"^\S.*\b(print\w*|dump\w*)\s*\([^;]*$")
# Files of the diagnostics and assertion machinery itself.
SKIP_FILES = {"support/Assert.cpp", "support/Assert.h", "support/Debug.cpp", "support/Debug.h"}

STOP_SIGNALS = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}

NUMBER = re.compile(r"(?<![\w.])(0[xX][0-9a-fA-F]+|\d+)([uUlL]*)(?![\w.])")


class Interrupted(Exception):
    pass


def code_view(lines):
    """The lines with comments and the insides of string and character
    literals blanked, so that columns still match the original."""
    out = []
    in_block = False
    for line in lines:
        chars = list(line)
        i = 0
        while i < len(chars):
            c = chars[i]
            if in_block:
                if line.startswith("*/", i):
                    chars[i] = chars[i + 1] = " "
                    in_block = False
                    i += 2
                    continue
                chars[i] = " "
            elif line.startswith("//", i):
                for j in range(i, len(chars)):
                    chars[j] = " "
                break
            elif line.startswith("/*", i):
                chars[i] = chars[i + 1] = " "
                in_block = True
                i += 2
                continue
            elif c in "\"'":
                j = i + 1
                while j < len(chars) and line[j] != c:
                    if line[j] == "\\":
                        chars[j] = " "
                        j += 1
                    if j < len(chars):
                        chars[j] = " "
                    j += 1
                i = j
            i += 1
        out.append("".join(chars))
    return out


def matching_paren(text, open_at):
    depth = 0
    for i in range(open_at, len(text)):
        if text[i] == "(":
            depth += 1
        elif text[i] == ")":
            depth -= 1
            if depth == 0:
                return i
    return -1


def bump(literal, rng):
    """The literal one off, in its own notation."""
    hexadecimal = literal[:2] in ("0x", "0X")
    value = int(literal, 16 if hexadecimal else 10)
    new = value + 1 if value == 0 or rng.random() < 0.5 else value - 1
    if not hexadecimal:
        return str(new)
    digits = "%X" if any(c in "ABCDEF" for c in literal[2:]) else "%x"
    return literal[:2] + (digits % new).rjust(len(literal) - 2, "0")


def changed_mask(literal):
    """A mask with its highest bit taken away, or a one-bit mask moved."""
    value = int(literal, 16 if literal[:2] in ("0x", "0X") else 10)
    high = 1 << (value.bit_length() - 1) if value else 1
    new = value - high if value != high else (2 if value == 1 else value >> 1)
    return literal[:2] + "%X" % new if literal[:2] in ("0x", "0X") else str(new)


def starts_statement(view, index):
    """Whether line `index` begins a statement rather than continuing one."""
    for k in range(index - 1, -1, -1):
        prev = view[k].strip()
        if not prev:
            continue
        if prev.startswith("#"):
            return True
        return prev.endswith((";", "{", "}", ":", ")")) or prev == "else"
    return True


def candidates(line, view, index, rng):
    """Every fault this line can take, as (kind, start, end, replacement)."""
    code = view[index]
    found = []
    for m in re.finditer(r"(?<=\s)(<=|>=|<|>)(?=\s)", code):
        flip = {"<": "<=", "<=": "<", ">": ">=", ">=": ">"}[m.group(1)]
        found.append(("comparison", m.start(1), m.end(1), flip))
    for m in re.finditer(r"(?<=\s)(==|!=)(?=\s)", code):
        found.append(("equality", m.start(1), m.end(1), "!=" if m.group(1) == "==" else "=="))
    for m in re.finditer(r"(?<=\s)(&&|\|\|)(?=\s)", code):
        found.append(("logic", m.start(1), m.end(1), "||" if m.group(1) == "&&" else "&&"))
    for m in re.finditer(r"(?<=\s)(<<|>>)(=?)(?=\s+(0[xX][0-9a-fA-F]+|\d+)[uUlL]*\b)", code):
        found.append(("shift", m.start(1), m.end(1), ">>" if m.group(1) == "<<" else "<<"))
    for m in NUMBER.finditer(code):
        literal = m.group(1)
        before = code[:m.start()].rstrip()
        if re.search(r"(?<![&|])[&|^]=?$", before):
            found.append(("mask", m.start(1), m.end(1), changed_mask(literal)))
        else:
            found.append(("constant", m.start(1), m.end(1), bump(literal, rng)))
    for m in re.finditer(r"\breturn (true|false);", code):
        found.append(("return", m.start(1), m.end(1), "false" if m.group(1) == "true" else "true"))
    for m in re.finditer(r"\b(if|while) \(", code):
        close = matching_paren(code, m.end() - 1)
        inner = code[m.end():close] if close > 0 else ""
        # Conditions that declare a variable cannot be negated as they stand.
        if close > 0 and ";" not in inner and not re.search(r"(?<![=!<>])=(?!=)", inner):
            found.append(("negate", m.end(), close, "!(" + line[m.end():close] + ")"))
    stripped = code.strip()
    statement = re.match(r"(\+\+|--)?[\w.\->\[\]()*:]+(\+\+|--|\s*([-+*/%&|^]|<<|>>)?=\s*[^=].*|\(.*\))?;$",
                         stripped)
    if (statement and not stripped.startswith(("return", "case")) and stripped.count("(") == stripped.count(")")
            and starts_statement(view, index)):
        start = len(line) - len(line.lstrip())
        found.append(("delete", start, len(line.rstrip("\n")), ";"))
    return found


def source_files():
    for folder, _dirs, files in os.walk(os.path.join(ROOT, "src")):
        for name in files:
            if name.endswith((".cpp", ".h")):
                yield os.path.relpath(os.path.join(folder, name), ROOT)


def mutable_lines(path):
    """The numbers of the lines of `path` that may be mutated."""
    rel = os.path.relpath(path, "src")
    if rel in SKIP_FILES:
        return []
    with open(os.path.join(ROOT, path), encoding="utf-8") as f:
        lines = f.readlines()
    view = code_view(lines)
    result = []
    depth = 0
    block = None  # (depth before a diagnostic block, whether it has opened yet)
    pending = False  # the next statement belongs to a diagnostic condition
    unclosed = 0  # parentheses a diagnostic statement left open
    for i, code in enumerate(view):
        stripped = code.strip()
        before = depth
        depth += code.count("{") - code.count("}")
        if block is None and (DUMP_FUNCTION.match(code) or
                              ((pending or DIAGNOSTIC.search(code)) and stripped.endswith("{"))):
            block = (before, False)
            pending = False
        if block is not None:
            opened = block[1] or "{" in code
            block = None if opened and depth <= block[0] else (block[0], opened)
            continue
        if pending or unclosed > 0 or DIAGNOSTIC.search(code):
            unclosed = max(0, unclosed + code.count("(") - code.count(")"))
            pending = unclosed == 0 and stripped.endswith(")")
            continue
        if stripped and not stripped.startswith("#") and candidates(lines[i], view, i, random.Random(0)):
            result.append(i + 1)
    return result


def subsystem(path):
    return os.path.dirname(os.path.relpath(path, "src"))


def choose(n, seed):
    """N mutants: (number, path, line, kind, start, end, replacement), in
    file and line order."""
    rng = random.Random(seed)
    by_subsystem = {}
    for path in sorted(source_files()):
        for number in mutable_lines(path):
            by_subsystem.setdefault(subsystem(path), []).append((path, number))
    total = sum(len(v) for v in by_subsystem.values())
    n = min(n, total)
    # Largest remainders: each subsystem's share of N, rounded so they sum to N.
    shares = {s: n * len(v) / total for s, v in by_subsystem.items()}
    counts = {s: int(share) for s, share in shares.items()}
    for s in sorted(shares, key=lambda s: (-(shares[s] - counts[s]), s))[:n - sum(counts.values())]:
        counts[s] += 1
    picked = []
    for s in sorted(by_subsystem):
        picked += rng.sample(by_subsystem[s], counts[s])
    picked.sort()
    mutants = []
    for path, number in picked:
        with open(os.path.join(ROOT, path), encoding="utf-8") as f:
            lines = f.readlines()
        found = candidates(lines[number - 1], code_view(lines), number - 1, rng)
        kinds = sorted({c[0] for c in found}, key=KINDS.index)
        kind = rng.choice(kinds)
        _, start, end, replacement = rng.choice([c for c in found if c[0] == kind])
        mutants.append((len(mutants) + 1, path, number, kind, start, end, replacement))
    return mutants


def describe(mutant):
    _, path, number, kind, start, end, replacement = mutant
    with open(os.path.join(ROOT, path), encoding="utf-8") as f:
        original = f.readlines()[number - 1][start:end]
    if kind == "delete":
        return "%s:%d deleted '%s'" % (path, number, original.strip())
    if kind == "negate":
        return "%s:%d negated '%s'" % (path, number, original.strip())
    return "%s:%d %s '%s' -> '%s'" % (path, number, kind, original, replacement)


def apply(text, mutant):
    _, _, number, _, start, end, replacement = mutant
    lines = text.splitlines(keepends=True)
    line = lines[number - 1]
    lines[number - 1] = line[:start] + replacement + line[end:]
    return "".join(lines)


# ---- running ----------------------------------------------------------------

class Runner:
    def __init__(self, copy, jobs):
        self.copy = copy
        self.build = os.path.join(copy, "build", "default")
        self.jobs = jobs
        self.child = None

    def sync(self):
        """Brings the copy up to date with the working tree, rewriting only
        the files that differ so that the copy's build stays incremental."""
        listed = subprocess.run(["git", "-C", ROOT, "ls-files", "-co", "--exclude-standard", "-z"],
                                check=True, capture_output=True).stdout.decode().split("\0")
        wanted = set()
        for rel in filter(None, listed):
            source = os.path.join(ROOT, rel)
            if not os.path.isfile(source):
                continue
            wanted.add(rel)
            target = os.path.join(self.copy, rel)
            with open(source, "rb") as f:
                data = f.read()
            if os.path.isfile(target):
                with open(target, "rb") as f:
                    if f.read() == data:
                        continue
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "wb") as f:
                f.write(data)
            shutil.copymode(source, target)
        # A file gone from the tree must not linger in the copy: lit would
        # still run a deleted test.
        for folder, dirs, files in os.walk(self.copy):
            if folder == self.copy and "build" in dirs:
                dirs.remove("build")
            for name in files:
                rel = os.path.relpath(os.path.join(folder, name), self.copy)
                if rel not in wanted and rel != ".mutate-copy":
                    os.remove(os.path.join(folder, name))

    def run(self, command, timeout=None, quiet=True):
        """The command's exit status, or None when it outlived `timeout`.
        It runs in a session of its own, killed whole on a timeout or an
        interruption."""
        out = subprocess.DEVNULL if quiet else None
        self.child = subprocess.Popen(command, stdout=out, stderr=out, start_new_session=True)
        try:
            return self.child.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None
        finally:
            if self.child.poll() is None:
                try:
                    os.killpg(self.child.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                self.child.wait()
            self.child = None

    def configure(self):
        if os.path.isfile(os.path.join(self.build, "build.ninja")):
            return
        status = self.run(["cmake", "-S", self.copy, "-B", self.build, "-G", "Ninja",
                           "-DCMAKE_BUILD_TYPE=RelWithDebInfo"], quiet=False)
        if status != 0:
            raise SystemExit("mutate.py: could not configure %s" % self.build)

    def make(self, quiet=True):
        return self.run(["cmake", "--build", self.build, "--target", "test-programs", "-j", str(self.jobs)],
                        timeout=3600, quiet=quiet) == 0

    def suite(self, timeout):
        """'passed', 'failed' or 'timed out'."""
        deadline = time.monotonic() + timeout
        unit = [os.path.join(self.build, "tests", "tarsil-unittests"), "--gtest_brief=1", "--gtest_fail_fast"]
        lit = [sys.executable, self.lit(), "-q", "--max-failures=1", "-j", str(self.jobs),
               os.path.join(self.build, "tests", "lit")]
        for command in (unit, lit):
            status = self.run(command, timeout=max(1.0, deadline - time.monotonic()))
            if status is None:
                return "timed out"
            if status != 0:
                return "failed"
        return "passed"

    def lit(self):
        with open(os.path.join(self.build, "CMakeCache.txt"), encoding="utf-8") as f:
            for line in f:
                if line.startswith("TARSIL_LIT:"):
                    return line.split("=", 1)[1].strip()
        return "/usr/lib/llvm-14/build/utils/lit/lit.py"


def raise_interrupted(signum, _frame):
    raise Interrupted(signal.Signals(signum).name)


def report(results, interrupted):
    outcomes = ("killed", "survived", "did not compile", "timed out")
    table = {}
    for mutant, outcome in results:
        table.setdefault(subsystem(mutant[1]), dict.fromkeys(outcomes, 0))[outcome] += 1
    print()
    print("%-12s %7s %8s %16s %10s" % ("subsystem", "killed", "survived", "did not compile", "timed out"))
    for s in sorted(table):
        print("%-12s %7d %8d %16d %10d" % ((s,) + tuple(table[s][o] for o in outcomes)))
    totals = [sum(t[o] for t in table.values()) for o in outcomes]
    print("%-12s %7d %8d %16d %10d" % (("all",) + tuple(totals)))
    compiled = totals[0] + totals[1] + totals[3]
    if compiled:
        print("score: %d of %d compiled mutants killed or timed out (%.0f%%)%s" %
              (totals[0] + totals[3], compiled, 100.0 * (totals[0] + totals[3]) / compiled,
               ", run interrupted" if interrupted else ""))
    survivors = [m for m, outcome in results if outcome == "survived"]
    if survivors:
        print("survivors:")
        for m in survivors:
            print("  %3d %s" % (m[0], describe(m)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-n", type=int, default=60, help="number of mutants (default 60)")
    parser.add_argument("--seed", type=int, default=22, help="seed of the choice (default 22)")
    parser.add_argument("--list", action="store_true", help="list the mutants, run nothing")
    parser.add_argument("--only", help="run only these mutants, by number: 3,7")
    parser.add_argument("--timeout", type=float, help="seconds a mutant's suite may take")
    parser.add_argument("-j", "--jobs", type=int, default=2, help="parallel build and lit jobs (default 2)")
    parser.add_argument("--copy", default=os.path.join(ROOT, "build", "mutate"),
                        help="where the mutated copy of the tree lives (default build/mutate)")
    args = parser.parse_args()

    mutants = choose(args.n, args.seed)
    if args.only:
        wanted = {int(x) for x in args.only.split(",") if x.strip()}
        mutants = [m for m in mutants if m[0] in wanted]
    if args.list:
        for m in mutants:
            print("%3d %s" % (m[0], describe(m)))
        return 0

    copy = os.path.abspath(args.copy)
    # The copy is made to match the tree, deleting what the tree lacks: it
    # must be a folder of its own, made by this script.
    marker = os.path.join(copy, ".mutate-copy")
    if os.path.commonpath([copy, ROOT]) == copy or copy == os.path.join(ROOT, "build", "default") or \
            (os.path.isdir(copy) and os.listdir(copy) and not os.path.isfile(marker)):
        raise SystemExit("mutate.py: %s is not a folder this script may fill" % copy)
    os.makedirs(copy, exist_ok=True)
    open(marker, "a").close()
    runner = Runner(copy, args.jobs)
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, raise_interrupted)

    results = []
    interrupted = False
    try:
        runner.sync()
        runner.configure()
        print("building the unchanged copy in %s" % runner.build, flush=True)
        if not runner.make(quiet=False):
            raise SystemExit("mutate.py: the unchanged tree does not build")
        began = time.monotonic()
        if runner.suite(timeout=3600) != "passed":
            raise SystemExit("mutate.py: the suite fails without any mutant")
        clean = time.monotonic() - began
        timeout = args.timeout or 3 * clean + 60
        print("clean suite: %.0f s; timeout per mutant: %.0f s" % (clean, timeout), flush=True)
        for m in mutants:
            target = os.path.join(copy, m[1])
            with open(target, encoding="utf-8") as f:
                original = f.read()
            try:
                with open(target, "w", encoding="utf-8") as f:
                    f.write(apply(original, m))
                if not runner.make():
                    outcome = "did not compile"
                else:
                    outcome = {"failed": "killed", "passed": "survived", "timed out": "timed out"}[
                        runner.suite(timeout)]
            finally:
                # No signal may cut the restoring short.
                blocked = signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
                with open(target, "w", encoding="utf-8") as f:
                    f.write(original)
                signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
            results.append((m, outcome))
            print("%3d %-15s %s" % (m[0], outcome, describe(m)), flush=True)
    except (KeyboardInterrupt, Interrupted):
        interrupted = True
        print("\ninterrupted; the copy is restored", flush=True)
    report(results, interrupted)
    return 130 if interrupted else 0


if __name__ == "__main__":
    sys.exit(main())
