#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Links the generated program of one core family (or of each) at several
# sizes, with a map.
#
#   bench/scale/run.sh [--family F] [--instructions] [--huge-pages] [--threads N] [--record] [BUILD_DIR] [SCALES...]
#
# F is core12, core14, core16, core16e (the default) or all; BUILD_DIR
# defaults to build, SCALES to 1 2 4 8 16 for Core16E (2 to 33 MB of input)
# and to 1 2 4 for the others, whose devices hold no more. Per size: input
# bytes, the best wall time of five links (each writing new outputs), peak
# resident memory of one link (in MB of 10^6 bytes, and as a multiple of the
# input), input throughput, and the link's time over the time of reading the
# same inputs with cat to /dev/null (also the best of five); after each size
# but the first, how the time grew per doubling of the input. Every size is
# generated first, into a temporary directory, and then all are timed in the
# same five rounds (see measure.py), so that the growth from one size to the
# next is the linker's and not the machine's drift. With --instructions, one
# more link per size runs under callgrind and its instruction count is shown
# too, in millions and per input byte: unlike the wall time it does not
# depend on what else the machine is doing.
#
# Every link of a size must write the same outputs, and a size's inputs and
# outputs must have the digests recorded in `digests` (see digests.py): the
# table is printed whole, and then the run fails if any differ. --record
# stores the digests found instead, for a change that alters the outputs on
# purpose.
#
# The smaller families' programs must fit their devices, so their inputs are
# much smaller and their times are mostly the process's start. With
# --huge-pages the links run with the C library's allocator asked to back
# its heap with transparent huge pages (GLIBC_TUNABLES=glibc.malloc.hugetlb=1,
# where the kernel offers them on request): far fewer page faults and address
# translations at the larger sizes; see bench/README.md. --threads N runs
# the links with TARSIL_THREADS=N (1: the single-threaded link).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
family=
instructions=
record=
# Set for the links only: cat, the yardstick, reads as it always does.
linkenv=()
linkvars=()
while [ $# -gt 0 ]; do
  case "$1" in
    --family) family=${2:?"--family takes core12, core14, core16, core16e or all"}; shift 2 ;;
    --instructions) instructions=yes; shift ;;
    --record) record=yes; shift ;;
    --threads)
      linkvars+=("TARSIL_THREADS=${2:?"--threads takes a number"}")
      linkenv+=(--link-env "TARSIL_THREADS=$2")
      shift 2 ;;
    --huge-pages)
      linkvars+=(GLIBC_TUNABLES=glibc.malloc.hugetlb=1)
      linkenv+=(--link-env GLIBC_TUNABLES=glibc.malloc.hugetlb=1)
      shift ;;
    *) break ;;
  esac
done
case "$family" in
  ""|core16e) families=core16e ;;
  core12|core14|core16) families=$family ;;
  all) families="core12 core14 core16 core16e" ;;
  *) echo "unknown family '$family': core12, core14, core16, core16e or all" >&2; exit 1 ;;
esac
build=${1:-build}
shift || true
given=$*
. "$here/../tools.sh"

differ=0
for f in $families; do
  [ -z "$family" ] || echo "$f"
  if [ -n "$given" ]; then scales=$given
  elif [ "$f" = core16e ]; then scales="1 2 4 8 16"
  else scales="1 2 4"
  fi
  printf '%5s %12s %9s %10s %8s %9s %10s  %s%s\n' size "input bytes" "time (s)" "peak (MB)" "x input" "MB/s" "x cat" \
    "${instructions:+"M instr  instr/B  "}" "inputs"
  dirs=()
  for s in $scales; do
    dirs+=("$work/$f/$s")
    python3 "$here/gen.py" --family "$f" "$s" "$work/$f/$s"
  done
  # Every size is timed in the same rounds (see measure.py), each link
  # writing its outputs anew, as a clean build does: replacing existing ones
  # costs more on some file systems (see bench/README.md).
  mapfile -t measured < <(python3 "$here/measure.py" "${linkenv[@]}" "$tarsil" "${dirs[@]}")
  [ "${#measured[@]}" = "${#dirs[@]}" ] || { echo "$f: the measurement failed" >&2; exit 1; }
  previous=
  i=0
  for s in $scales; do
    dir=$work/$f/$s
    cd "$dir"
    read -r -a args <args
    bytes=$(cat scale.lkr *.o *.lib | wc -c)
    read -r t peak c <<<"${measured[$i]}"
    i=$((i + 1))
    if [ -n "$record" ]; then
      python3 "$here/digests.py" record "$f" "$s" "$dir"
    else
      python3 "$here/digests.py" check "$f" "$s" "$dir" || differ=$((differ + 1))
    fi
    n=0
    if [ -n "$instructions" ]; then
      n=$(env "${linkvars[@]}" valgrind --tool=callgrind --callgrind-out-file=/dev/null "$tarsil" -q "${args[@]}" \
            -o out.cof -m out.map 2>&1 | sed -n 's/.*refs: *//p' | tr -d ,)
    fi
    awk -v s="$s" -v b="$bytes" -v t="$t" -v p="$peak" -v c="$c" -v n="$n" -v what="$(cat counts)" 'BEGIN {
      mbs = t > 0 ? b / 1e6 / t : 0
      ratio = c > 0 ? t / c : 0
      # /usr/bin/time gives kibibytes.
      peak = p * 1024 / 1e6
      printf "%4dx %12d %9.4f %10.1f %8.2f %9.1f %10.1f  ", s, b, t, peak, peak * 1e6 / b, mbs, ratio
      if (n > 0) printf "%7.1f  %7.2f  ", n / 1e6, n / b
      printf "%s\n", what }'
    if [ -n "$previous" ]; then
      # Scales need not double from one to the next: the growth is brought
      # to one doubling of the input, which is what the target bounds.
      read -r ps pb pt pn <<<"$previous"
      awk -v ps="$ps" -v pb="$pb" -v pt="$pt" -v pn="$pn" -v s="$s" -v b="$bytes" -v t="$t" -v n="$n" 'BEGIN {
        if (pt > 0 && pb > 0 && b > pb) {
          d = log(2) / log(b / pb)
          printf "%5s time x%.2f per doubling of the input (%dx over %dx: input x%.2f, time x%.2f)",
                 "", exp(log(t / pt) * d), s, ps, b / pb, t / pt
          if (n > 0 && pn > 0) printf ", instructions x%.2f per doubling", exp(log(n / pn) * d)
          printf "\n"
        } }'
    fi
    previous="$s $bytes $t $n"
    cd - >/dev/null
  done
done
[ $differ = 0 ] || { echo "$differ size(s) with inputs or outputs unlike the reference" >&2; exit 1; }
