import glob
import os
import sys

import lit.formats

config.name = "tarsil"
config.test_format = lit.formats.ShTest(execute_external=False)
config.suffixes = [".test"]
config.excludes = ["Inputs"]
config.test_source_root = os.path.dirname(__file__)
config.test_exec_root = os.path.join(config.tarsil_bin_dir, "tests", "lit")

# The linker, every companion tool and LLVM's test helpers, all on PATH.
paths = [config.tarsil_bin_dir, config.llvm_bin_dir]
paths += sorted(d for d in glob.glob(os.path.join(config.tarsil_tools_dir, "*")) if os.path.isdir(d))
config.environment["PATH"] = os.pathsep.join(paths + [config.environment.get("PATH", os.environ.get("PATH", ""))])
for var in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
    if var in os.environ:
        config.environment[var] = os.environ[var]

config.substitutions.append(("%status", "%s %s" % (sys.executable, os.path.join(config.test_source_root, "Inputs", "status.py"))))
config.substitutions.append(("%progimage", "%s %s" % (sys.executable, os.path.join(config.test_source_root, "Inputs", "progimage.py"))))
config.substitutions.append(("%inputs", os.path.join(config.test_source_root, "Inputs")))
config.substitutions.append(("%examples", os.path.join(config.tarsil_source_dir, "examples")))

# The Core14 example's inputs in the current directory, as its user has them:
# the command file, the two objects and the library packed by the librarian.
counter = os.path.join(config.tarsil_source_dir, "examples", "core14-counter")
config.substitutions.append(("%counter-inputs", " && ".join([
    "cp %s/counter.lkr ." % counter,
    "tarsil-yaml2obj %s/main.yaml -o main.o" % counter,
    "tarsil-yaml2obj %s/counter.yaml -o counter.o" % counter,
    "mkdir -p display",
    "tarsil-yaml2obj %s/display/display.yaml -o display/display.o" % counter,
    "tarsil-yaml2obj %s/display/tone.yaml -o display/tone.o" % counter,
    "tarsil-lib c display.lib display/display.o display/tone.o",
])))
