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
config.substitutions.append(("%python", sys.executable))
config.substitutions.append(("%progimage", "%s %s" % (sys.executable, os.path.join(config.test_source_root, "Inputs", "progimage.py"))))
config.substitutions.append(("%inputs", os.path.join(config.test_source_root, "Inputs")))
config.substitutions.append(("%examples", os.path.join(config.tarsil_source_dir, "examples")))

# Each example's inputs in the current directory, as its user has them
# (%example-NAME): the command file, the objects, and a library packed by the
# librarian from each subdirectory's objects.
def example_inputs(name):
    src = os.path.join(config.tarsil_source_dir, "examples", name)
    steps = []
    for entry in sorted(os.listdir(src)):
        path = os.path.join(src, entry)
        if entry.endswith(".lkr"):
            steps.append("cp %s ." % path)
        elif entry.endswith(".yaml"):
            steps.append("tarsil-yaml2obj %s -o %s.o" % (path, entry[:-5]))
        elif os.path.isdir(path):
            stems = [m[:-5] for m in sorted(os.listdir(path)) if m.endswith(".yaml")]
            steps.append("mkdir -p " + entry)
            steps += ["tarsil-yaml2obj %s/%s.yaml -o %s/%s.o" % (path, m, entry, m) for m in stems]
            steps.append("tarsil-lib c %s.lib %s" % (entry, " ".join("%s/%s.o" % (entry, m) for m in stems)))
    return " && ".join(steps)


examples = os.path.join(config.tarsil_source_dir, "examples")
for name in sorted(os.listdir(examples)):
    if os.path.isdir(os.path.join(examples, name)):
        config.substitutions.append(("%example-" + name, example_inputs(name)))
config.substitutions.append(("%counter-inputs", example_inputs("core14-counter")))
