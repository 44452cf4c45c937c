#!/usr/bin/env python3
"""Runs a command on a hostile input as status.py does (its standard output,
then "exit: <status>"), within 60 seconds of CPU time and of waiting and 1 GiB
of memory (a sanitizer build: its allocator's largest allocation), so that a
runaway fails instead of stalling the machine. --memory=<MiB> and
--seconds=<seconds> before the command narrow the bounds ("exit: timeout");
--file-size=<bytes> sets the largest file the command may write (SIGXFSZ)."""
import os
import resource
import shutil
import subprocess
import sys

bounds = {"--memory": 1024, "--seconds": 60, "--file-size": 0}
args = sys.argv[1:]
while args and args[0].startswith("--"):
    option, _, value = args.pop(0).partition("=")
    if option not in bounds:
        sys.exit(f"bounded.py: unknown option {option}")
    bounds[option] = int(value)
memory, seconds = bounds["--memory"] << 20, bounds["--seconds"]

# A sanitizer reserves far more address space than it uses: bound its
# allocator instead of the address space.
env = dict(os.environ)
path = shutil.which(args[0])
with open(path, "rb") as binary:
    asan = b"__asan_init" in binary.read()
if asan:
    options = [env["ASAN_OPTIONS"]] if env.get("ASAN_OPTIONS") else []
    env["ASAN_OPTIONS"] = ":".join(options + ["allocator_may_return_null=1",
                                              "max_allocation_size_mb=%d" % (memory >> 20)])


# An emulator (wine) reserves address space of its own too: there the
# bound is on time alone, and the native run of the suite bounds memory.
# Its start takes a while of waiting, which the processor time bound omits.
emulated = env.get("TARSIL_EMULATED") == "1"
waiting = seconds + (30 if emulated else 0)


def limit():
    resource.setrlimit(resource.RLIMIT_CPU, (seconds, seconds))
    if bounds["--file-size"]:
        resource.setrlimit(resource.RLIMIT_FSIZE, (bounds["--file-size"],) * 2)
    if not asan and not emulated:
        resource.setrlimit(resource.RLIMIT_AS, (memory, memory))


try:
    proc = subprocess.run(args, stdout=subprocess.PIPE, env=env, preexec_fn=limit, timeout=waiting)
except subprocess.TimeoutExpired as expired:
    sys.stdout.buffer.write(expired.stdout or b"")
    print("exit: timeout")
    sys.exit(0)
sys.stdout.buffer.write(proc.stdout)
print(f"exit: {128 - proc.returncode if proc.returncode < 0 else proc.returncode}")
