#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the libFuzzer targets (preset "fuzz") and runs them. Every run
# starts from the target's kept corpus (fuzz/corpus/<target>/, in the
# repository) and from seeds that tarsil-yaml2obj makes out of the YAML
# inputs of the end-to-end tests (tarsil-lib packing their objects into
# libraries too) and their command files; afterwards what the run found is
# merged into the kept corpus (libFuzzer's -merge=1, into a fresh directory,
# so it stays minimal), and the run's executions are added to
# fuzz/executions.tsv. Any crash, leak, sanitizer report or timeout fails the
# run; the input that caused it is kept under build/fuzz/artifacts/.
#   scripts/fuzz.sh                 every target, 60 seconds each
#   TARSIL_FUZZ_SECONDS=600 scripts/fuzz.sh coff
#   scripts/fuzz.sh link            a whole link of a fuzzed object and library
#   scripts/fuzz.sh cmdfile         command files, several per input
#   scripts/fuzz.sh --long 8        unattended: rounds over every target (or
#                                   those named after the hours) for 8 hours,
#                                   TARSIL_FUZZ_ROUND seconds (900) per target
#                                   and round, the corpus merged after each;
#                                   a failure is kept and the rounds go on
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
tarsil_need_packages "${TARSIL_BUILD_PACKAGES[@]}" libyaml-cpp-dev "${TARSIL_FUZZ_PACKAGES[@]}"

seconds=${TARSIL_FUZZ_SECONDS:-60}
hours=
if [ "${1:-}" = --long ]; then
  hours=${2:?"--long takes the number of hours"}
  shift 2
  seconds=${TARSIL_FUZZ_ROUND:-900}
fi
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(coff archive link cmdfile)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc 2>/dev/null || echo 2)"

build=build/fuzz
yaml2obj=$build/tools/tarsil-yaml2obj/tarsil-yaml2obj
seeds=$build/seeds
rm -rf "$seeds"
mkdir -p "$seeds/yaml" "$seeds/coff" "$seeds/archive" "$seeds/link" "$seeds/cmdfile" "$build/artifacts"

# The tests keep their inputs in split-file sections ("#--- name.yaml"), and
# some make several descriptions out of one with sed (one per device or per
# relocation type): those are made here too. Descriptions that are wrong on
# purpose simply make no seed.
find tests/lit -name '*.test' -print0 | sort -z | while IFS= read -r -d '' test; do
  stem=$(echo "${test#tests/lit/}" | tr '/' '_')
  stem=${stem%.test}
  dir=$seeds/split/$stem
  mkdir -p "$dir"
  awk -v dir="$dir" '
    /^#--- / {
      if (out != "") close(out)
      out = ""
      gsub("/", "_", $2)
      if ($2 ~ /\.(yaml|lkr)$/) out = dir "/" $2
      next
    }
    out != "" { print > out }
  ' "$test"
  grep -oE "sed -e '[^']*' [A-Za-z0-9_.-]+\.yaml > [A-Za-z0-9_.-]+\.yaml" "$test" | while IFS= read -r line; do
    re="^sed -e '([^']*)' ([^ ]+) > ([^ ]+)$"
    [[ $line =~ $re ]] || continue
    [ -e "$dir/${BASH_REMATCH[2]}" ] || continue
    sed -e "${BASH_REMATCH[1]}" "$dir/${BASH_REMATCH[2]}" > "$dir/${BASH_REMATCH[3]}" || true
  done || true
  for file in "$dir"/*.yaml; do [ -e "$file" ] && cp "$file" "$seeds/yaml/$stem@$(basename "$file")"; done
  for file in "$dir"/*.lkr; do [ -e "$file" ] && cp "$file" "$seeds/cmdfile/$stem@$(basename "$file")"; done
  true
done
cp examples/*/*.lkr fuzz/seeds/cmdfile/* "$seeds/cmdfile/"
count=0
for yaml in "$seeds"/yaml/*.yaml; do
  [ -e "$yaml" ] || continue
  name=$(basename "${yaml%.yaml}")
  "$yaml2obj" "$yaml" -o "$seeds/coff/$name" 2>/dev/null || continue
  if [ "$(head -c 8 "$seeds/coff/$name" | tr -d '\0')" = '!<arch>' ]; then
    mv "$seeds/coff/$name" "$seeds/archive/$name"
  fi
  count=$((count + 1))
done
# Libraries as the librarian writes them: each test's objects packed into
# one, an object at a time so that one it refuses leaves the others in, and
# the examples' libraries, which the build packs with it.
librarian=$build/tools/tarsil-lib/tarsil-lib
for stem in $(ls "$seeds/coff" | sed 's/@.*//' | sort -u); do
  for obj in "$seeds/coff/$stem"@*; do
    "$librarian" -q r "$seeds/archive/$stem@librarian.lib" "$obj" || true
  done
  [ -e "$seeds/archive/$stem@librarian.lib" ] && count=$((count + 1))
done
for lib in "$build"/examples/*/*.lib; do
  [ -e "$lib" ] && cp "$lib" "$seeds/archive/examples@$(basename "$lib")" && count=$((count + 1))
done
echo "seed inputs made: $count"

# The link target reads an object, and a library after it when the input
# holds the library magic: its seeds are every object, and each library of a
# test behind each object of the same test.
cp "$seeds"/coff/* "$seeds/link/"
for lib in "$seeds"/archive/*; do
  [ -e "$lib" ] || continue
  base=$(basename "$lib")
  for obj in "$seeds"/coff/"${base%%@*}"@*; do
    [ -e "$obj" ] || continue
    cat "$obj" "$lib" > "$seeds/link/$(basename "$obj")+$base"
  done
done

tally=fuzz/executions.tsv
[ -f "$tally" ] || printf 'target\texecutions\tseconds\n' > "$tally"

# One run of a target from its kept corpus and the seeds; new inputs go to a
# scratch directory, then everything is merged into a fresh minimal corpus
# that replaces the kept one. Returns the fuzzer's status.
run_target() {
  local target=$1
  local binary=$build/fuzz/tarsil-fuzz-$target
  local kept=fuzz/corpus/$target
  local work=$build/corpus/$target
  local log=$build/logs/$target.log
  local options=(-timeout=10 -rss_limit_mb=2048 -max_len=65536)
  [ -f "fuzz/$target.dict" ] && options+=(-dict="fuzz/$target.dict")
  mkdir -p "$kept" "$work" "$build/logs"
  echo "== fuzz $target for ${seconds}s =="
  # The command-file target runs each input in a directory of its own, so
  # the places it writes to are absolute.
  local result=0
  "$binary" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$PWD/$build/artifacts/$target-" \
      "${options[@]}" "$PWD/$work" "$PWD/$kept" "$PWD/$seeds/$target" > "$log" 2>&1 || result=$?
  if [ "$result" -ne 0 ]; then tail -n 40 "$log"; else grep -E '^#[0-9]+ *(INITED|DONE)|^Done' "$log" || true; fi
  local runs time
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  time=$(sed -n 's/.*Done \([0-9]*\) runs in \([0-9]*\) second.*/\2/p' "$log" | tail -1)
  [ -n "$runs" ] && awk -v t="$target" -v n="$runs" -v s="${time:-$seconds}" 'BEGIN { FS = OFS = "\t" }
      NR > 1 && $1 == t { $2 += n; $3 += s; found = 1 } { print }
      END { if (!found) print t, n, s }' "$tally" > "$tally.new" && mv "$tally.new" "$tally"

  # The seeds are made afresh for every run, so the kept corpus holds only
  # what adds to them: they are merged first and taken out again.
  local fresh=$build/merged/$target
  local merge=("$binary" -merge=1 "${options[@]}" "$PWD/$fresh")
  rm -rf "$fresh" && mkdir -p "$fresh"
  if "${merge[@]}" "$PWD/$seeds/$target" > "$build/logs/$target-merge.log" 2>&1 &&
      find "$fresh" -type f > "$build/merged/$target.seeds" &&
      "${merge[@]}" "$PWD/$kept" "$PWD/$work" >> "$build/logs/$target-merge.log" 2>&1; then
    xargs -r rm -f < "$build/merged/$target.seeds"
    rm -rf "$kept" && mv "$fresh" "$kept" && rm -rf "$work"
    echo "corpus $target: $(find "$kept" -type f | wc -l) inputs, $(du -sk --apparent-size "$kept" | cut -f1) KB; ${runs:-no} executions this run"
  else
    echo "merging the corpus of $target failed; see $build/logs/$target-merge.log" >&2
    result=1
  fi
  return "$result"
}

status=0
if [ -n "$hours" ]; then
  deadline=$(( $(date +%s) + hours * 3600 ))
  while [ "$(date +%s)" -lt "$deadline" ]; do
    for target in "${targets[@]}"; do
      [ "$(date +%s)" -lt "$deadline" ] || break
      run_target "$target" || { echo "fuzz target $target failed; see $build/artifacts/" >&2; status=1; }
    done
  done
  exit $status
fi
for target in "${targets[@]}"; do
  run_target "$target" || { echo "fuzz target $target failed; see $build/artifacts/" >&2; status=1; }
done
exit $status
