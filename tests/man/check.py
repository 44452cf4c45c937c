#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Checks every manual page in man/: it renders without a warning from man
(as Debian's package checker renders it) and within 80 columns, and a
section 1 page lists exactly the options its program's --help lists.

    check.py <man folder> <program>=<executable>...

Every program given must have a page, and every section 1 page a program.
"""
import os
import re
import subprocess
import sys
from pathlib import Path

# Options a program accepts and its page documents, but its --help does not
# show yet. An entry that --help has come to show is stale and fails too, so
# the table only shrinks.
NOT_IN_HELP = {}

WIDTH = 80

# An option stands at the start of a line or after a blank, comma, bracket or
# bar: "--name", "-x" (one letter; the rest may be its value, "-aINHX32"),
# "/x" (the linker's own switch form), "@file", and "--" alone.
OPTION = re.compile(r"(?:^|(?<=[\s,\[(|]))(--[A-Za-z][A-Za-z0-9-]*|--(?=\s|$)|-[A-Za-z?]|/[A-Za-z?](?=[\s,]|$)|@(?=[<A-Za-z]))")


def options(text):
    found = set()
    for match in OPTION.finditer(text):
        option = match.group(1)
        found.add("-" + option[1:] if option.startswith("/") else option)
    return found


def plain(roff):
    """A roff line as text: requests, font escapes and quotes removed; the
    arguments of the alternating-font requests (.BR, .IR ...) run together as
    they render."""
    request = re.match(r"\.([A-Z]{1,2})\s?", roff)
    text = roff[request.end():] if request else roff
    if request and len(request.group(1)) == 2:
        text = "".join(word.strip('"') for word in re.findall(r'"[^"]*"|\S+', text))
    return re.sub(r"\\f[BIRP]|\\&|\\e", "", text).replace("\\-", "-").replace('"', "")


def page_options(source):
    """The options named by the tags of the page's tagged paragraphs."""
    lines = source.splitlines()
    tags = [lines[i + 1] for i, line in enumerate(lines[:-1]) if line.startswith(".TP")]
    return options("\n".join(plain(tag) for tag in tags))


def render_problems(page):
    env = dict(os.environ, LC_ALL="C.UTF-8", MANROFFSEQ="", MANWIDTH=str(WIDTH), MAN_KEEP_FORMATTING="")
    if subprocess.run(["sh", "-c", "command -v man"], capture_output=True).returncode == 0:
        check = ["man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z", str(page)]
        text = ["man", "-E", "UTF-8", "-P", "cat", "-l", str(page)]
    else:
        check = ["groff", "-man", "-ww", "-z", str(page)]
        text = ["groff", "-man", "-Tutf8", "-P-cbou", f"-rLL={WIDTH - 7}n", str(page)]
    problems = []
    run = subprocess.run(check, capture_output=True, text=True, env=env)
    if run.returncode != 0 or run.stderr.strip():
        problems.append(f"renders with warnings:\n{run.stderr.rstrip()}")
    shown = subprocess.run(text, capture_output=True, text=True, env=env).stdout
    for number, line in enumerate(shown.splitlines(), 1):
        if len(line) > WIDTH:
            problems.append(f"rendered line {number} is wider than {WIDTH} columns: {line.strip()}")
    return problems


def option_problems(program, source, executable):
    run = subprocess.run([executable, "--help"], capture_output=True, text=True)
    if run.returncode != 0:
        return [f"'{program} --help' exits with {run.returncode}"]
    helped = options(run.stdout)
    documented = page_options(source)
    extra = NOT_IN_HELP.get(program, set())
    problems = []
    for option in sorted(helped - documented):
        problems.append(f"{option} is in --help but not among the page's options")
    for option in sorted(documented - helped - extra):
        problems.append(f"{option} is among the page's options but not in --help")
    for option in sorted(extra & helped):
        problems.append(f"{option} is in --help now: take it out of NOT_IN_HELP in {Path(__file__).name}")
    for option in sorted(extra - documented):
        problems.append(f"{option} is in NOT_IN_HELP but not among the page's options")
    return problems


def main(argv):
    man = Path(argv[1])
    programs = dict(arg.split("=", 1) for arg in argv[2:])
    pages = sorted(p for p in man.iterdir() if re.fullmatch(r"[a-z0-9-]+\.[1-8]", p.name))
    failures = []
    for page in pages:
        name, section = page.name.rsplit(".", 1)
        source = page.read_text(encoding="utf-8")
        problems = render_problems(page)
        if section == "1":
            if name in programs:
                problems += option_problems(name, source, programs.pop(name))
            else:
                problems.append("no program of this name is built")
        failures += [f"{page.name}: {problem}" for problem in problems]
        print(f"{page.name}: {'ok' if not problems else 'FAILED'}")
    failures += [f"{program}: no page {program}.1 in {man}" for program in sorted(programs)]
    for failure in failures:
        print(failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
