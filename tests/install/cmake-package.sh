#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds a firmware project (firmware/) against the installed CMake package
# with Ninja and with Unix Makefiles: its outputs must equal a direct link
# of the same inputs; touching the command file that the project's command
# file INCLUDEs must rerun the link and nothing else; a second build must do
# nothing.
#   cmake-package.sh <build folder> <source folder>
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
yaml2obj=$build/tools/tarsil-yaml2obj/tarsil-yaml2obj
example=$src/examples/core14-counter
# The project's sources are copied, so that touching one leaves the tree alone.
cp -r "$src/tests/install/firmware" "$tmp/firmware"

# The direct link, from the same descriptions and command files.
ref=$tmp/ref
mkdir -p "$ref/display"
cp "$tmp"/firmware/*.lkr "$ref"
(
  cd "$ref"
  export PATH="$tmp/prefix/bin:$PATH" SOURCE_DATE_EPOCH=1
  for stem in main counter; do "$yaml2obj" "$example/$stem.yaml" -o $stem.o; done
  for stem in display tone; do "$yaml2obj" "$example/display/$stem.yaml" -o display/$stem.o; done
  tarsil-lib c display.lib display/display.o display/tone.o
  tarsil -q counter.lkr main.o counter.o ./display.lib -o counter.cof -m counter.map
  tarsil-hex counter.cof
)

# The lines of a build's output that say a command of the project ran.
steps() { grep -E 'Assembling|Packing|Linking' || true; }

for generator in Ninja "Unix Makefiles"; do
  echo "== $generator"
  out=$tmp/build-${generator// /-}
  # SOURCE_DATE_EPOCH reaches the links from the configure step alone.
  SOURCE_DATE_EPOCH=1 cmake -S "$tmp/firmware" -B "$out" -G "$generator" -DCMAKE_PREFIX_PATH="$tmp/prefix" \
    -DEXAMPLE="$example" -DYAML2OBJ="$yaml2obj" >/dev/null
  env -u SOURCE_DATE_EPOCH cmake --build "$out" >"$tmp/log" 2>&1 || { cat "$tmp/log"; exit 1; }
  # The gnu style says nothing when a link succeeds.
  ! grep -q 'Errors' "$tmp/log" || { echo "the link spoke:"; cat "$tmp/log"; exit 1; }
  for file in counter.cof counter.map counter.hex display.lib; do
    cmp "$ref/$file" "$out/$file"
  done

  # A configure step that the build starts keeps the first one's epoch.
  env -u SOURCE_DATE_EPOCH cmake "$out" >/dev/null
  sleep 1
  touch "$tmp/firmware/memory.lkr"
  ran=$(env -u SOURCE_DATE_EPOCH cmake --build "$out" 2>&1 | steps)
  [ "$ran" = "$(printf '%s' "$ran" | grep -m1 'Linking tarsil executable counter.cof')" ] && [ -n "$ran" ] ||
    { echo "touching the included command file ran: ${ran:-nothing}"; exit 1; }
  cmp "$ref/counter.cof" "$out/counter.cof"

  ran=$(env -u SOURCE_DATE_EPOCH cmake --build "$out" 2>&1 | steps)
  [ -z "$ran" ] || { echo "a second build ran: $ran"; exit 1; }
done
echo "CMake package test passed"
