#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Times links that place N code sections, an eighth of them at fixed addresses,
# into one program memory.
#   run.sh BUILD_DIR [SIZES...]     (default sizes: 2000 4000 8000 16000)
# Each size is generated once under $TMPDIR; the time is the best of three
# runs of the whole link with a map.
set -e
build=$(cd "${1:?usage: run.sh BUILD_DIR [SIZES...]}" && pwd)
shift
[ $# -gt 0 ] || set -- 2000 4000 8000 16000
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../timelinks.sh"
time_links "$build" placement sections ' code ' 'code sections' "$@"
