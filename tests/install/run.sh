#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the build into a temporary prefix and unpacks its Debian package:
# each holds the user's programs (stripped), their manual pages, bash
# completion and the CMake package, and not the test tools; the package
# passes lintian when it is installed. Then links the Core14 example with
# each set of installed programs alone: a program missing from the install,
# or one that still needs the build tree, fails here.
#   run.sh <build folder> <source folder>
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "$*"; exit 1; }

cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
(cd "$tmp" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/deb" >"$tmp/cpack.log" 2>&1) ||
  { cat "$tmp/cpack.log"; exit 1; }
debs=("$tmp"/deb/*.deb)
[ ${#debs[@]} -eq 1 ] || fail "expected one package, found: ${debs[*]}"
dpkg-deb -x "${debs[0]}" "$tmp/root"

if command -v lintian >/dev/null; then
  lintian --fail-on error,warning "${debs[0]}" 2>/dev/null || fail "lintian finds errors or warnings"
else
  echo "lintian is not installed: the package is not checked (apt-get install lintian)"
fi

# The user's programs are those with a manual page.
programs=()
for page in "$src"/man/*.1; do programs+=("$(basename "$page" .1)"); done

yaml2obj=$build/tools/tarsil-yaml2obj/tarsil-yaml2obj
example=$src/examples/core14-counter
for prefix in "$tmp/prefix" "$tmp/root/usr"; do
  echo "== $prefix"
  [ "$prefix" = "$tmp/prefix" ] && page=.1 || page=.1.gz
  for program in "${programs[@]}"; do
    [ -x "$prefix/bin/$program" ] || fail "not installed: $program"
    readelf -S "$prefix/bin/$program" | grep -q '\.symtab' && fail "not stripped: $program"
    [ -f "$prefix/share/man/man1/$program$page" ] || fail "no manual page: $program$page"
    [ -f "$prefix/share/bash-completion/completions/$program" ] || fail "no completion: $program"
  done
  [ ! -e "$prefix/bin/tarsil-yaml2obj" ] || fail "a test tool is installed: tarsil-yaml2obj"
  [ -f "$prefix/share/cmake/tarsil/tarsilConfig.cmake" ] || fail "no CMake package"
  readme=$prefix/share/doc/tarsil/README.md
  grep -q '^## Running the linker' "$readme" || fail "README not installed"
  grep -q '^## Fuzzing' "$readme" && fail "the installed README holds developer sections"

  work=$tmp/work
  rm -rf "$work" && mkdir "$work" && cp "$example"/*.lkr "$work"
  (
    cd "$work"
    # As the build makes them: one object per description, and a library
    # packed by the librarian from each subfolder's members.
    for yaml in "$example"/*.yaml; do
      "$yaml2obj" "$yaml" -o "$(basename "$yaml" .yaml).o"
    done
    export PATH="$prefix/bin:/usr/bin:/bin"
    [ "$(command -v tarsil)" = "$prefix/bin/tarsil" ]
    for lib in "$example"/*/; do
      name=$(basename "$lib")
      mkdir "$name"
      for yaml in "$lib"*.yaml; do
        "$yaml2obj" "$yaml" -o "$name/$(basename "$yaml" .yaml).o"
      done
      tarsil-lib c "$name.lib" "$name"/*.o
    done
    tarsil --version
    SOURCE_DATE_EPOCH=1 tarsil -q counter.lkr main.o counter.o display.lib -o counter.cof -m counter.map
    tarsil-hex counter.cof
    tarsil-objdump --headers counter.cof | grep -q 'format: executable'
  )
  # The installed linker makes exactly what the one in the build tree makes.
  (cd "$work" && SOURCE_DATE_EPOCH=1 "$build/tarsil" -q counter.lkr main.o counter.o display.lib -o ref.cof)
  cmp "$work/counter.cof" "$work/ref.cof"
  [ -s "$work/counter.hex" ]
done

# Debian's forms in the package, the licence in a plain install.
doc=$tmp/root/usr/share/doc/tarsil
[ -f "$doc/copyright" ] && [ -f "$doc/changelog.gz" ] || fail "no copyright file or changelog in the package"
[ ! -e "$doc/LICENSE" ] || fail "the package holds LICENSE beside its copyright file"
[ -f "$tmp/prefix/share/doc/tarsil/LICENSE" ] || fail "LICENSE not installed"
version=$(dpkg-deb -f "${debs[0]}" Version)
zcat "$doc/changelog.gz" | head -1 | grep -qF "tarsil ($version)" || fail "the changelog's last entry is not $version"
if command -v man >/dev/null; then
  [ "$(PATH="$tmp/prefix/bin:$PATH" man -w tarsil)" = "$tmp/prefix/share/man/man1/tarsil.1" ] ||
    fail "man does not find the installed page"
fi

# Completion as bash runs it: the installed script, the installed programs.
(
  cd "$work"
  export PATH="$tmp/prefix/bin:/usr/bin:/bin"
  . "$tmp/prefix/share/bash-completion/completions/tarsil"
  complete_line() {
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    local function
    function=$(complete -p "$1" | sed -E 's/.* -F ([^ ]+) .*/\1/')
    "$function" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' '
  }
  while IFS='|' read -r line expected; do
    read -ra words <<<"$line"
    [[ $line == *' ' ]] && words+=("")
    got=$(complete_line "${words[@]}")
    [ "$got" = "$expected" ] || fail "completing '$line': '$got', expected '$expected'"
  done <<'CASES'
tarsil |counter.lkr counter.o display display.lib main.o 
tarsil --dep|--depfile 
tarsil -a INHX|INHX32 INHX8M INHX8S 
tarsil-lib |c d p r s t x 
tarsil-lib tv |display display.lib 
tarsil-lib x display.lib |display.o tone.o 
tarsil-hex |counter.cof display ref.cof 
tarsil-objdump --no|--no-show-raw-insn 
CASES
)
echo "install test passed"
