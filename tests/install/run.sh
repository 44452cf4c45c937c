#!/usr/bin/env bash
# Installs the build into a temporary prefix and unpacks its Debian package,
# then links the Core14 example with each set of installed programs alone:
# a program missing from the install, or one that still needs the build
# tree, fails here.
#   run.sh <build folder> <source folder>
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
(cd "$tmp" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/deb" >/dev/null)
debs=("$tmp"/deb/*.deb)
[ ${#debs[@]} -eq 1 ] || { echo "expected one package, found: ${debs[*]}"; exit 1; }
dpkg-deb -x "${debs[0]}" "$tmp/root"

example=$src/examples/core14-counter
for prefix in "$tmp/prefix" "$tmp/root/usr"; do
  echo "== $prefix"
  for tool_cmake in "$src"/tools/*/CMakeLists.txt; do
    tool=$(basename "$(dirname "$tool_cmake")")
    [ -x "$prefix/bin/$tool" ] || { echo "not installed: $tool"; exit 1; }
  done
  [ -f "$prefix/share/doc/tarsil/README.md" ] || { echo "README not installed"; exit 1; }

  work=$tmp/work
  rm -rf "$work" && mkdir "$work" && cp "$example"/*.lkr "$work"
  (
    cd "$work"
    export PATH="$prefix/bin:/usr/bin:/bin"
    [ "$(command -v tarsil)" = "$prefix/bin/tarsil" ]
    # As the build makes them: one object per description, and a library
    # packed by the librarian from each subfolder's members.
    for yaml in "$example"/*.yaml; do
      tarsil-yaml2obj "$yaml" -o "$(basename "$yaml" .yaml).o"
    done
    for lib in "$example"/*/; do
      name=$(basename "$lib")
      mkdir "$name"
      for yaml in "$lib"*.yaml; do
        tarsil-yaml2obj "$yaml" -o "$name/$(basename "$yaml" .yaml).o"
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
echo "install test passed"
