#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz") and runs each for a bounded
# time, starting from a corpus that tarsil-yaml2obj makes out of the YAML
# inputs of the end-to-end tests. Any crash, leak, sanitizer report or
# timeout fails the run; the input that caused it is kept under
# build/fuzz/artifacts/.
#   scripts/fuzz.sh                 every target, 60 seconds each
#   TARSIL_FUZZ_SECONDS=600 scripts/fuzz.sh coff
#   scripts/fuzz.sh link            a whole link of one fuzzed object
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
tarsil_need_packages "${TARSIL_BUILD_PACKAGES[@]}" libyaml-cpp-dev "${TARSIL_FUZZ_PACKAGES[@]}"

seconds=${TARSIL_FUZZ_SECONDS:-60}
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(coff archive link)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc 2>/dev/null || echo 2)"

build=build/fuzz
yaml2obj=$build/tools/tarsil-yaml2obj/tarsil-yaml2obj
seeds=$build/seeds
rm -rf "$seeds"
mkdir -p "$seeds/yaml" "$seeds/coff" "$seeds/archive" "$build/artifacts"

# The tests keep their inputs in split-file sections ("#--- name.yaml");
# descriptions that are wrong on purpose simply make no seed.
find tests/lit -name '*.test' -print0 | sort -z | while IFS= read -r -d '' test; do
  stem=$(echo "${test#tests/lit/}" | tr '/' '_')
  awk -v dir="$seeds/yaml" -v stem="${stem%.test}" '
    /^#--- / { if (out != "") close(out); out = ""; if ($2 ~ /\.yaml$/) out = dir "/" stem "-" $2; next }
    out != "" { print > out }
  ' "$test"
done
count=0
for yaml in "$seeds"/yaml/*.yaml; do
  [ -e "$yaml" ] || continue
  name=$(basename "${yaml%.yaml}")
  "$yaml2obj" "$yaml" -o "$seeds/coff/$name" 2>/dev/null || continue
  if [ "$(head -c 8 "$seeds/coff/$name")" = '!<arch>' ]; then
    mv "$seeds/coff/$name" "$seeds/archive/$name"
  fi
  count=$((count + 1))
done
echo "seed inputs made: $count"

status=0
for target in "${targets[@]}"; do
  binary=$build/fuzz/tarsil-fuzz-$target
  work=$build/corpus/$target
  mkdir -p "$work"
  # The link target takes one object, so it starts from the object seeds.
  start=$seeds/$target
  [ "$target" = link ] && start=$seeds/coff
  echo "== fuzz $target for ${seconds}s =="
  if ! "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
      -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" "$work" "$start"; then
    echo "fuzz target $target failed; see $build/artifacts/" >&2
    status=1
  fi
done
exit $status
