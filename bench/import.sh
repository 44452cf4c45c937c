#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Times library import for trees of 1,000, 2,000 and 4,000 members.
#
#   bench/import.sh [BUILD_DIR] [--full] [--sparse]
#
# BUILD_DIR holds the built tarsil and tools (default: build). By default the
# main object names no known device, so each run stops at the processor
# check right after the import and the time is that of reading the inputs
# and importing the members (the process's whole run). With --full every
# input names one device and the link runs through all of its stages.
# With --sparse the link asks for an eighth of the members, each of which
# carries code, relocations and line numbers (see gen-import.py).
# Each size is run three times and the best time is shown.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=build
full=
sparse=
for arg in "$@"; do
  case "$arg" in
    --full) full=--full ;;
    --sparse) sparse=--sparse ;;
    *) build=$arg ;;
  esac
done
. "$here/tools.sh"

now() { date +%s%N; }

printf '%8s %10s %12s  %s\n' members "best (s)" "per member" "last message"
previous=
for n in 1000 2000 4000; do
  dir=$work/$n
  python3 "$here/gen-import.py" "$n" "$dir" $full $sparse
  best=
  for _ in 1 2 3; do
    start=$(now)
    # The default run ends in a link error by design: keep its message.
    message=$(cd "$dir" && "$tarsil" t.lkr main.o a.lib b.lib c.lib -o out.cof 2>&1 | grep -m1 '^Error -' || true)
    elapsed=$(( $(now) - start ))
    if [ -z "$best" ] || [ "$elapsed" -lt "$best" ]; then best=$elapsed; fi
  done
  seconds=$(awk -v ns="$best" 'BEGIN { printf "%.3f", ns / 1e9 }')
  per=$(awk -v ns="$best" -v n="$n" 'BEGIN { printf "%.1f us", ns / 1e3 / n }')
  printf '%8d %10s %12s  %s\n' "$n" "$seconds" "$per" "${message:-linked}"
  if [ -n "$previous" ]; then
    awk -v a="$previous" -v b="$best" 'BEGIN { printf "%8s %10s x%.2f for twice the members\n", "", "", b / a }'
  fi
  previous=$best
done
