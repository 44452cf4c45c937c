#!/usr/bin/env python3
"""Two librarians adding members to one library at the same time, each its
own COUNT copies of OBJECT, one run per member; then the library's members are
counted and every member that is missing is named."""
import shutil
import subprocess
import sys
import threading

library, obj, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
names = {side: ["%s%d.o" % (side, i) for i in range(count)] for side in "ab"}
for side in names:
    for name in names[side]:
        shutil.copyfile(obj, name)
failures = []


def add(side):
    for name in names[side]:
        run = subprocess.run(["tarsil-lib", "r", library, name], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if run.returncode != 0:
            failures.append("%s: exit %d %s" % (name, run.returncode, run.stdout.decode(errors="replace")))


threads = [threading.Thread(target=add, args=(side,)) for side in names]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
listed = subprocess.run(["tarsil-lib", "t", library], stdout=subprocess.PIPE).stdout.decode().split()
missing = [name for side in names for name in names[side] if name not in listed]
print("members: %d" % len(listed))
print("missing: %s" % (" ".join(missing) or "none"))
for failure in failures:
    print("failed: " + failure)
