#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Times links of programs whose functions all own overlaid activation records.
#   run.sh BUILD_DIR [SIZES...]     (default sizes: 1000 4000 10000)
# Each size is generated once under $TMPDIR; the time is the best of three
# runs of the whole link with an error map, which is written right after the
# records are placed.
set -e
build=$(cd "${1:?usage: run.sh BUILD_DIR [SIZES...]}" && pwd)
shift
[ $# -gt 0 ] || set -- 1000 4000 10000
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../timelinks.sh"
time_links "$build" overlays functions '\.a_' 'records' "$@"
