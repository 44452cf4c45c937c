#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Checks the scale generator against a build:
#
#   bench/scale/test.sh [BUILD_DIR]     (default: build)
#
# - Core12, Core14 and Core16 programs link (status 0, with a map) at every
#   scale that run.sh uses, and their inputs hold every relocation type of
#   the family, so a change to the generator cannot quietly drop one;
# - a scale that does not fit the device is refused before anything is
#   written;
# - the inputs of those links and of the Core16E ones at 1x and 4x are
#   those of every earlier measurement (same seed, same bytes), so that the
#   numbers stay comparable, and their outputs are the recorded ones
#   (`digests`), but for the time of the link; the larger Core16E sizes
#   take minutes to generate and are checked by run.sh alone;
# - the JSON map of each of those links is valid against its schema and
#   lists what the text map lists (tests/lit/Inputs/agree.py);
# - run.sh prints its table with the linker's own peak memory.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
export TARSIL_YAML2OBJ=$build/tools/tarsil-yaml2obj/tarsil-yaml2obj
objdump=$build/tools/tarsil-objdump/tarsil-objdump
agree=$here/../../tests/lit/Inputs/agree.py
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

declare -A types=(
  [core12]="ALL BANKSEL CALL F GOTO HIGH IBANKSEL LOW PAGESEL PAGESEL_BITS TRIS"
  [core14]="ALL BANKSEL CALL F GOTO HIGH IBANKSEL LOW PAGESEL PAGESEL_BITS PAGESEL_WREG"
  [core16]="ALL BANKSEL CALL F GOTO HIGH IBANKSEL LOW MOVLB MOVLR P PAGESEL PAGESEL_WREG"
)

for family in core12 core14 core16; do
  for scale in 1 2 4; do
    dir=$work/$family$scale
    python3 "$here/gen.py" --family $family $scale "$dir" || { fail "$family ${scale}x: not generated"; continue; }
    out=$(cd "$dir" && read -r -a args <args && "$build/tarsil" "${args[@]}" -o out.cof -m out.map --map-json out.json)
    status=$?
    [ $status = 0 ] && [ -s "$dir/out.map" ] || fail "$family ${scale}x: link status $status: $out"
    python3 "$here/digests.py" check $family $scale "$dir" || fail "$family ${scale}x: not as recorded"
    python3 "$agree" json "$dir/out.json" "$dir/out.map" || fail "$family ${scale}x: the JSON map disagrees"
  done
  seen=$(cd "$work/${family}1" && "$objdump" --relocs ./*.o ./*.lib | grep -o 'RELOCT_[A-Z0-9_]*' | sort -u | tr '\n' ' ')
  for t in ${types[$family]}; do
    [[ " $seen" == *" RELOCT_$t "* ]] || fail "$family: no RELOCT_$t among the relocations"
  done
done

# Twice the largest scale that run.sh uses does not fit 2K words.
msg=$(python3 "$here/gen.py" --family core12 8 "$work/too-big" 2>&1)
[ $? != 0 ] && [[ $msg == *"needs about"* ]] && [ ! -e "$work/too-big" ] ||
  fail "core12 at scale 8 was not refused cleanly: $msg"

# Core16E at 1x, and at 4x, the benchmark's size, whose JSON map is large
# enough to show a writer or a schema that does not keep up with a real
# program; 1x stays for the checks below.
for scale in 4 1; do
  dir=$work/core16e$scale
  python3 "$here/gen.py" $scale "$dir" || fail "core16e ${scale}x: not generated"
  (cd "$dir" && read -r -a args <args && "$build/tarsil" -q "${args[@]}" -o out.cof -m out.map --map-json out.json) ||
    fail "core16e ${scale}x: link failed"
  python3 "$here/digests.py" check core16e $scale "$dir" || fail "core16e ${scale}x: not as recorded"
  python3 "$agree" json "$dir/out.json" "$dir/out.map" || fail "core16e ${scale}x: the JSON map disagrees"
  [ $scale = 1 ] || rm -rf "$dir"
done

# Threads change how long a link takes, never a byte of what it writes.
for threads in 1 3; do
  (cd "$dir" && read -r -a args <args && TARSIL_THREADS=$threads "$build/tarsil" -q "${args[@]}" -o out.cof -m out.map) ||
    fail "core16e 1x, $threads thread(s): link failed"
  python3 "$here/digests.py" check core16e 1 "$dir" || fail "core16e 1x, $threads thread(s): not as recorded"
done

# The check itself: the time of the link is not part of the outputs'
# digests, any other byte is.
sed -i 's/^\(Linker Map File - Created \).*/\1Thu Jan  1 00:00:00 1970/' "$dir/out.map"
python3 "$here/digests.py" check core16e 1 "$dir" || fail "the map's time line counts in its digest"
sed -i '$s/$/ /' "$dir/out.map"
msg=$(python3 "$here/digests.py" check core16e 1 "$dir" 2>&1)
[ $? != 0 ] && [[ $msg == *"map differs"* ]] || fail "a changed map passed the check: $msg"

# run.sh itself: a row per size, the growth per doubling after the second,
# and a peak memory that is the linker's own, not the interpreter's that
# started it (tens of kilobytes of input need a few megabytes).
table=$(bash "$here/run.sh" --family core12 "$build" 1 2 2>&1)
rows=$(grep -cE '^ +[12]x +[0-9]+ ' <<<"$table")
[ "$rows" = 2 ] && grep -q 'per doubling of the input (2x over 1x' <<<"$table" ||
  fail "run.sh printed no table of two sizes: $table"
if [ -x /usr/bin/time ]; then
  peak=$(awk '$1 == "1x" { print $4 }' <<<"$table")
  awk -v p="$peak" 'BEGIN { exit !(p > 0 && p < 10) }' || fail "run.sh: core12 1x peak memory $peak MB"
fi

# The same with the allocator asked for huge pages: the links run and the
# table is whole whether or not the kernel gives any.
table=$(bash "$here/run.sh" --family core12 --huge-pages "$build" 1 2 2>&1)
rows=$(grep -cE '^ +[12]x +[0-9]+ ' <<<"$table")
[ "$rows" = 2 ] || fail "run.sh --huge-pages printed no table of two sizes: $table"

[ $failures = 0 ] && echo "OK" || echo "$failures failure(s)"
[ $failures = 0 ]
