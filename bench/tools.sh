# SPDX-License-Identifier: Apache-2.0
# Sourced by the bash benchmarks: finds the linker and yaml2obj in the build
# directory $build (made absolute), and makes a scratch directory $work that
# goes away on exit.
build=$(cd "$build" && pwd)
tarsil=$build/tarsil
export TARSIL_YAML2OBJ=$build/tools/tarsil-yaml2obj/tarsil-yaml2obj
[ -x "$tarsil" ] || { echo "no tarsil in $build" >&2; exit 1; }
[ -x "$TARSIL_YAML2OBJ" ] || { echo "no tarsil-yaml2obj in $build" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
