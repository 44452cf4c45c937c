#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the linker and its tools, then links one of the shipped examples.
#   scripts/example.sh                  the Core14 counter
#   scripts/example.sh core16e-checksum any directory name under examples/
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
tarsil_need_packages "${TARSIL_BUILD_PACKAGES[@]}" "${TARSIL_TEST_PACKAGES[@]}"

example=${1:-core14-counter}
if [ ! -d "examples/$example" ]; then
  echo "no example '$example'; there are:" >&2
  ls examples | grep -v '\.' >&2
  exit 1
fi

jobs=$(nproc 2>/dev/null || echo 2)
cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs" --target tarsil tarsil-objdump tarsil-hex examples

root=$PWD
build=build/default
dir=$build/examples/$example
lkr=$(cd "$dir" && ls *.lkr)
name=${lkr%.lkr}
# The linker takes arguments that start with '/' as switches, so it runs in
# the example's directory with relative names.
(cd "$dir" && "$root/$build/tarsil" "$lkr" $(ls *.o) $(ls *.lib) -o "$name.cof" -m "$name.map")
echo
echo "executable: $dir/$name.cof  (look inside: $build/tools/tarsil-objdump/tarsil-objdump $dir/$name.cof)"
echo "map file:   $dir/$name.map"
"$build/tools/tarsil-hex/tarsil-hex" "$dir/$name.cof"
echo "HEX file:   $dir/$name.hex  (for a device programmer; made by $build/tools/tarsil-hex/tarsil-hex)"
