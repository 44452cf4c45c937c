#!/usr/bin/env bash
# Links the generated Core16E program at 1x, 2x and 4x size, with a map.
#
#   bench/scale/run.sh [BUILD_DIR] [SCALES...]     (default: build, 1 2 4)
#
# Per size: input bytes, the best wall time of five links, peak resident
# memory of that link, input throughput, and the link's time over the time
# of reading the same inputs with cat (also the best of five). Inputs are
# generated once per size into a temporary directory.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build}
shift || true
scales=${*:-1 2 4}
build=$(cd "$build" && pwd)
tarsil=$build/tarsil
export TARSIL_YAML2OBJ=$build/tools/tarsil-yaml2obj/tarsil-yaml2obj
[ -x "$tarsil" ] || { echo "no tarsil in $build" >&2; exit 1; }
[ -x "$TARSIL_YAML2OBJ" ] || { echo "no tarsil-yaml2obj in $build" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

printf '%5s %12s %9s %10s %9s %10s  %s\n' size "input bytes" "time (s)" "peak (MB)" "MB/s" "x cat" "inputs"
previous=
for s in $scales; do
  dir=$work/$s
  python3 "$here/gen.py" "$s" "$dir"
  cd "$dir"
  read -r -a args <args
  inputs=(scale.lkr *.o *.lib)
  bytes=$(cat "${inputs[@]}" | wc -c)
  read -r t peak < <(python3 "$here/timeit.py" 5 "$tarsil" -q "${args[@]}" -o out.cof -m out.map)
  read -r c _ < <(python3 "$here/timeit.py" 5 cat "${inputs[@]}")
  awk -v s="$s" -v b="$bytes" -v t="$t" -v p="$peak" -v c="$c" -v what="$(cat counts)" 'BEGIN {
    mbs = t > 0 ? b / 1e6 / t : 0
    ratio = c > 0 ? t / c : 0
    printf "%4dx %12d %9.4f %10.1f %9.1f %10.1f  %s\n", s, b, t, p / 1024, mbs, ratio, what }'
  if [ -n "$previous" ]; then
    awk -v a="$previous" -v b="$t" 'BEGIN { if (a > 0) printf "%5s time x%.2f over the previous size\n", "", b / a }'
  fi
  previous=$t
  cd - >/dev/null
done
