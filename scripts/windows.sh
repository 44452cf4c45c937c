#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Cross-builds the Windows programs with MinGW-w64 (build/windows) and runs
# the unit tests and the end-to-end tests through wine. The native build
# (build/default) stands beside it: its tarsil-yaml2obj makes the tests'
# inputs, and its programs make the outputs that the Windows programs' must
# equal byte for byte.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
tarsil_need_packages "${TARSIL_BUILD_PACKAGES[@]}" "${TARSIL_TEST_PACKAGES[@]}" "${TARSIL_WINDOWS_PACKAGES[@]}"

jobs=$(nproc 2>/dev/null || echo 2)
cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs" --target tarsil tarsil-yaml2obj tarsil-lib tarsil-hex

# wine keeps its state in the build folder, and one server for all of the
# tests' short runs, stopped at the end.
export WINEPREFIX=$PWD/build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
mkdir -p "$WINEPREFIX"
"$wineserver" -p
trap '"$wineserver" -k || true' EXIT
# The prefix is made once, before the tests start programs side by side: a
# program started while another makes it fails, and the background programs
# that making it starts would hold the first test's output open until the end.
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
"$wine" wineboot --init >/dev/null 2>&1

cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
ctest --preset windows -j "$jobs"
