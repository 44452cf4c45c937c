import glob
import os
import shutil
import sys

import lit.formats

config.name = "tarsil"
config.test_format = lit.formats.ShTest(execute_external=False)
config.suffixes = [".test"]
config.excludes = ["Inputs"]
config.test_source_root = os.path.dirname(__file__)
config.test_exec_root = os.path.join(config.tarsil_bin_dir, "tests", "lit")

# The linker, every companion tool and LLVM's test helpers, all on PATH.
program_dirs = [config.tarsil_bin_dir]
program_dirs += sorted(d for d in glob.glob(os.path.join(config.tarsil_tools_dir, "*")) if os.path.isdir(d))
emulator = getattr(config, "tarsil_emulator", "")
host_build = getattr(config, "tarsil_host_build", "") or config.tarsil_bin_dir


# A cross build's programs (Windows ones, run through wine) are called by
# their plain names through small scripts; the tests' own helpers that are
# not built here (tarsil-yaml2obj) come from the native build beside.
def emulated_programs():
    wrappers = os.path.join(config.test_exec_root, "emulated-bin")
    os.makedirs(wrappers, exist_ok=True)
    suffix = config.tarsil_exe_suffix
    for d in program_dirs:
        for exe in glob.glob(os.path.join(d, "*" + suffix)):
            name = os.path.basename(exe)[: -len(suffix)]
            script = os.path.join(wrappers, name)
            with open(script, "w") as out:
                out.write('#!/bin/sh\nexec "%s" "%s" "$@"\n' % (emulator, exe))
            os.chmod(script, 0o755)
    for name in ("tarsil-yaml2obj",):
        native = os.path.join(host_build, "tools", name, name)
        link = os.path.join(wrappers, name)
        if os.path.exists(native) and not os.path.lexists(link):
            os.symlink(native, link)
    return [wrappers]


if emulator:
    paths = emulated_programs() + [config.llvm_bin_dir]
    config.available_features.add("windows")
    # wine's own messages and its prefix; the first run makes the prefix.
    config.environment["WINEDEBUG"] = "-all"
    config.environment["WINEDLLOVERRIDES"] = "mscoree,mshtml="
    config.environment["TARSIL_EMULATED"] = "1"
    for var in ("WINEPREFIX", "HOME", "XDG_RUNTIME_DIR"):
        if var in os.environ:
            config.environment[var] = os.environ[var]
else:
    paths = program_dirs + [config.llvm_bin_dir]
config.environment["PATH"] = os.pathsep.join(paths + [config.environment.get("PATH", os.environ.get("PATH", ""))])
for var in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
    if var in os.environ:
        config.environment[var] = os.environ[var]
# The native programs, for outputs to compare with (the longer names first).
for tool in ("tarsil-lib", "tarsil-hex"):
    config.substitutions.append(("%host-" + tool, os.path.join(host_build, "tools", tool, tool)))
config.substitutions.append(("%host-tarsil", os.path.join(host_build, "tarsil")))

config.substitutions.append(("%status", "%s %s" % (sys.executable, os.path.join(config.test_source_root, "Inputs", "status.py"))))
config.substitutions.append(("%python", sys.executable))
config.substitutions.append(("%progimage", "%s %s" % (sys.executable, os.path.join(config.test_source_root, "Inputs", "progimage.py"))))
config.substitutions.append(("%inputs", os.path.join(config.test_source_root, "Inputs")))
config.substitutions.append(("%python", sys.executable))

# The HTML map is tried in a real browser where Debian's chromium is there.
if shutil.which("chromium") or os.path.exists("/usr/bin/chromium"):
    config.available_features.add("chromium")
else:
    lit_config.note("chromium is not installed: the browser test of the HTML map is skipped")
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
