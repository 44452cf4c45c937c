#!/usr/bin/env python3
"""Runs a command on a hostile input as status.py does (its standard output,
then "exit: <status>"), but within bounds that turn a runaway into a failing
status instead of a stalled machine: 60 seconds of CPU time and 1 GiB of
memory. A sanitizer build reserves far more address space than that, so
there the bound is its allocator's own largest allocation; either way an
allocation the size of a header field ends the run with a crash status."""
import os
import resource
import shutil
import subprocess
import sys

MEMORY = 1 << 30
CPU_SECONDS = 60


def sanitized(program):
    path = shutil.which(program)
    if path is None:
        return False
    with open(path, "rb") as binary:
        return b"__asan_init" in binary.read()


env = dict(os.environ)
asan = sanitized(sys.argv[1])
if asan:
    options = env.get("ASAN_OPTIONS", "")
    env["ASAN_OPTIONS"] = (options + ":" if options else "") + \
        "allocator_may_return_null=1:max_allocation_size_mb=%d" % (MEMORY >> 20)


def limit():
    resource.setrlimit(resource.RLIMIT_CPU, (CPU_SECONDS, CPU_SECONDS))
    if not asan:
        resource.setrlimit(resource.RLIMIT_AS, (MEMORY, MEMORY))


proc = subprocess.run(sys.argv[1:], stdout=subprocess.PIPE, env=env, preexec_fn=limit)
sys.stdout.buffer.write(proc.stdout)
code = proc.returncode
if code < 0:
    code = 128 - code
print(f"exit: {code}")
