# SPDX-License-Identifier: Apache-2.0
# Sourced by the benchmarks that generate N-sized programs with their own
# gen.py and time the whole link with a map.
#   time_links BUILD_DIR NAME UNIT PATTERN WHAT SIZES...
# Each size is generated once under $TMPDIR/tarsil-bench-NAME; the time is
# the best of three runs. PATTERN counts the map lines that show the program
# was linked in full, reported as WHAT.
time_links() {
  build=$1 name=$2 unit=$3 pattern=$4 what=$5
  shift 5
  work=${TMPDIR:-/tmp}/tarsil-bench-$name
  for n in "$@"; do
    dir=$work/$n
    if [ ! -f "$dir/done" ]; then
      rm -rf "$dir"
      python3 "$here/gen.py" "$n" "$dir"
      for y in "$dir"/*.yaml; do
        "$build/tools/tarsil-yaml2obj/tarsil-yaml2obj" "$y" -o "${y%.yaml}.o"
      done
      touch "$dir/done"
    fi
    best=
    for run in 1 2 3; do
      (cd "$dir" && python3 - "$build/tarsil" <<'PY'
import subprocess, sys, time
objs = open("objects").read().split()
t = time.perf_counter()
r = subprocess.run([sys.argv[1], "-q", "bench.lkr", "-m", "bench.map"] + objs)
print("%.3f %d" % (time.perf_counter() - t, r.returncode))
PY
      ) > "$dir/time"
      t=$(cut -d' ' -f1 "$dir/time")
      if [ -z "$best" ] || [ "$(echo "$t < $best" | bc)" = 1 ]; then best=$t; fi
    done
    found=$(grep -c "$pattern" "$dir/bench.map" || true)
    echo "$n $unit: ${best}s (exit $(cut -d' ' -f2 "$dir/time"), $found $what in the map)"
  done
}
