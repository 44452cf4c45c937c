#!/usr/bin/env python3
"""Runs a command, passes its standard output through, then prints its exit
status as seen by a shell ("exit: 255" for -1), and itself succeeds.

End-to-end tests pipe this into FileCheck so that the status is checked in
place, next to the messages that go with it."""
import subprocess
import sys

proc = subprocess.run(sys.argv[1:], stdout=subprocess.PIPE)
sys.stdout.buffer.write(proc.stdout)
code = proc.returncode
if code < 0:
    code = 128 - code
print(f"exit: {code}")
