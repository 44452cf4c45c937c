#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds tarsil with its tools and runs every unit and end-to-end test.
#   scripts/test.sh             the normal build (build/default)
#   scripts/test.sh sanitize    the same under AddressSanitizer and UBSan
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
tarsil_need_packages "${TARSIL_BUILD_PACKAGES[@]}" "${TARSIL_TEST_PACKAGES[@]}"

preset=${1:-default}
jobs=$(nproc 2>/dev/null || echo 2)
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$jobs"
ctest --preset "$preset" -j "$jobs"
