#!/usr/bin/env python3
"""Runs a command on a hostile input as status.py does (its standard output,
then "exit: <status>"), within 60 seconds of CPU time and of waiting and 1 GiB
of memory (a sanitizer build: its allocator's largest allocation), so that a
runaway fails instead of stalling the machine. --memory=<MiB> and
--seconds=<seconds> before the command narrow the bounds ("exit: timeout")."""
import os
import resource
import shutil
import subprocess
import sys

memory = 1 << 30
seconds = 60
args = sys.argv[1:]
while args and args[0].startswith("--"):
    option, _, value = args.pop(0).partition("=")
    if option == "--memory":
        memory = int(value) << 20
    elif option == "--seconds":
        seconds = int(value)
    else:
        sys.exit(f"bounded.py: unknown option {option}")


def sanitized(program):
    path = shutil.which(program)
    if path is None:
        return False
    with open(path, "rb") as binary:
        return b"__asan_init" in binary.read()


env = dict(os.environ)
asan = sanitized(args[0])
if asan:
    options = env.get("ASAN_OPTIONS", "")
    env["ASAN_OPTIONS"] = (options + ":" if options else "") + \
        "allocator_may_return_null=1:max_allocation_size_mb=%d" % (memory >> 20)


def limit():
    resource.setrlimit(resource.RLIMIT_CPU, (seconds, seconds))
    if not asan:
        resource.setrlimit(resource.RLIMIT_AS, (memory, memory))


try:
    proc = subprocess.run(args, stdout=subprocess.PIPE, env=env, preexec_fn=limit, timeout=seconds)
except subprocess.TimeoutExpired as expired:
    sys.stdout.buffer.write(expired.stdout or b"")
    print("exit: timeout")
    sys.exit(0)
sys.stdout.buffer.write(proc.stdout)
code = proc.returncode
if code < 0:
    code = 128 - code
print(f"exit: {code}")
