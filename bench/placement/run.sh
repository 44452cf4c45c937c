#!/bin/sh
# Times links that place N code sections, an eighth of them at fixed addresses,
# into one program memory.
#   run.sh BUILD_DIR [SIZES...]     (default sizes: 2000 4000 8000 16000)
# Each size is generated once under $TMPDIR; the time is the best of three
# runs of the whole link with a map.
set -e
build=$(cd "${1:?usage: run.sh BUILD_DIR [SIZES...]}" && pwd)
shift
[ $# -gt 0 ] || set -- 2000 4000 8000 16000
here=$(cd "$(dirname "$0")" && pwd)
work=${TMPDIR:-/tmp}/tarsil-bench-placement
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
  placed=$(grep -c ' code ' "$dir/bench.map" || true)
  echo "$n sections: ${best}s (exit $(cut -d' ' -f2 "$dir/time"), $placed code sections in the map)"
done
