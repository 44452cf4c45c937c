#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Two builds of the linker side by side on the Core16E programs:
#
#   bench/scale/compare.sh [--instructions] [--rounds N] [--inputs DIR] BEFORE_BUILD AFTER_BUILD [SCALES...]
#
# SCALES default to 1 4 16. The programs are generated into DIR/<scale>
# (default: a temporary directory), or taken from there when their inputs
# have the recorded digests already: generating 16x takes minutes, and a
# change is measured many times. Every link must write the recorded outputs
# (see digests.py). The table (compare.py) gives each build's least wall
# and processor time with and without the map, against the yardstick of
# reading the inputs and writing the executable, the peak memory and, with
# --instructions, callgrind's instructions per input byte.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
options=()
inputs=
while [ $# -gt 0 ]; do
  case "$1" in
    --instructions) options+=(--instructions); shift ;;
    --rounds) options+=(--rounds "${2:?"--rounds takes a number"}"); shift 2 ;;
    --inputs) inputs=${2:?"--inputs takes a directory"}; shift 2 ;;
    *) break ;;
  esac
done
[ $# -ge 2 ] || { sed -n '3,15p' "$0"; exit 1; }
before=$(cd "$1" && pwd)/tarsil
build=$2
shift 2
scales=${*:-1 4 16}
. "$here/../tools.sh"
[ -x "$before" ] || { echo "no tarsil in $before" >&2; exit 1; }
[ -n "$inputs" ] || inputs=$work
mkdir -p "$inputs"
inputs=$(cd "$inputs" && pwd)

dirs=()
for s in $scales; do
  dir=$inputs/$s
  if [ ! -f "$dir/args" ] || [ "$(python3 -c "import sys; sys.path.insert(0, '$here'); import digests; print(digests.inputs('$dir'))")" \
      != "$(awk -v s="$s" '$1 == "core16e" && $2 == s { print $3 }' "$here/digests")" ]; then
    rm -rf "$dir"
    python3 "$here/gen.py" "$s" "$dir"
  fi
  dirs+=("$dir")
done
python3 "$here/compare.py" "${options[@]}" "$before" "$tarsil" "${dirs[@]}"
for s in $scales; do python3 "$here/digests.py" check core16e "$s" "$inputs/$s"; done
