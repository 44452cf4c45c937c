#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz") and runs each for a bounded
# time, starting from a corpus that tarsil-yaml2obj makes out of the YAML
# inputs of the end-to-end tests (tarsil-lib packing their objects into
# libraries too), and from their command files. Any crash, leak, sanitizer
# report or timeout fails the run; the input that caused it is kept under
# build/fuzz/artifacts/.
#   scripts/fuzz.sh                 every target, 60 seconds each
#   TARSIL_FUZZ_SECONDS=600 scripts/fuzz.sh coff
#   scripts/fuzz.sh link            a whole link of a fuzzed object and library
#   scripts/fuzz.sh cmdfile         command files, several per input
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
tarsil_need_packages "${TARSIL_BUILD_PACKAGES[@]}" libyaml-cpp-dev "${TARSIL_FUZZ_PACKAGES[@]}"

seconds=${TARSIL_FUZZ_SECONDS:-60}
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

status=0
for target in "${targets[@]}"; do
  binary=$build/fuzz/tarsil-fuzz-$target
  work=$build/corpus/$target
  mkdir -p "$work"
  options=()
  [ -f "fuzz/$target.dict" ] && options+=(-dict="fuzz/$target.dict")
  echo "== fuzz $target for ${seconds}s =="
  # The command-file target runs each input in a directory of its own, so
  # the places it writes to are absolute.
  if ! "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
      -print_final_stats=1 -artifact_prefix="$PWD/$build/artifacts/$target-" "${options[@]}" \
      "$PWD/$work" "$PWD/$seeds/$target"; then
    echo "fuzz target $target failed; see $build/artifacts/" >&2
    status=1
  fi
done
exit $status
