#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# tarsil beside LLVM's ld.lld, each linking the same-shape program for its
# own 8-bit target, in the same rounds, both writing a map:
#
#   bench/lld/compare.sh [--rounds N] [--inputs DIR] BUILD [SCALES...]
#
# SCALES default to 1 4 16. BUILD is a build directory of tarsil (it makes
# the Core16E programs with its tarsil-yaml2obj). The Core16E programs go to
# DIR/<scale> as bench/scale/compare.sh keeps them (taken from there when
# their inputs have the recorded digests), their ELF twins to
# DIR/lld-<scale> (made again when this directory's or the scale
# generator's source changed, or the assembler did); 16x takes minutes to
# make. Needs ld.lld (Debian lld), avr-as and avr-ar (Debian binutils-avr)
# and GNU time, installed when missing and run as root. The table
# (compare.py) gives each linker's least wall and processor time over the
# rounds, with and without the map, its peak memory, and tarsil's figures as
# ratios to ld.lld's.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
rounds=()
inputs=
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds=(--rounds "${2:?"--rounds takes a number"}"); shift 2 ;;
    --inputs) inputs=${2:?"--inputs takes a directory"}; shift 2 ;;
    *) break ;;
  esac
done
[ $# -ge 1 ] || { sed -n '3,18p' "$0"; exit 1; }
build=$1
shift
scales=${*:-1 4 16}
. "$here/../tools.sh"
. "$here/../../scripts/deps.sh"
tarsil_need_packages "${TARSIL_BENCH_PACKAGES[@]}"
[ -n "$inputs" ] || inputs=$work
mkdir -p "$inputs"
inputs=$(cd "$inputs" && pwd)

stamp=$(cat "$here/gen.py" "$here/../scale/gen.py" <(avr-as --version | head -1) | sha256sum | cut -c1-16)
dirs=()
for s in $scales; do
  dir=$inputs/$s
  if [ ! -f "$dir/args" ] || [ "$(python3 -c "import sys; sys.path.insert(0, '$here/../scale'); import digests; print(digests.inputs('$dir'))")" \
      != "$(awk -v s="$s" '$1 == "core16e" && $2 == s { print $3 }' "$here/../scale/digests")" ]; then
    rm -rf "$dir"
    python3 "$here/../scale/gen.py" "$s" "$dir"
  fi
  twin=$inputs/lld-$s
  if [ "$(cat "$twin/stamp" 2>/dev/null)" != "$stamp" ]; then
    rm -rf "$twin"
    python3 "$here/gen.py" "$s" "$twin"
    echo "$stamp" > "$twin/stamp"
  fi
  dirs+=("$dir" "$twin")
done
python3 "$here/compare.py" "${rounds[@]}" "$tarsil" "${dirs[@]}"
for s in $scales; do python3 "$here/../scale/digests.py" check core16e "$s" "$inputs/$s"; done
