# SPDX-License-Identifier: Apache-2.0
# Sourced by the build scripts: makes sure the Debian packages that a build
# needs are present. As root it installs what is missing; otherwise it names
# the packages and stops.
tarsil_need_packages() {
  local missing=()
  local pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -eq 0 ]; then
    echo "Installing missing Debian packages: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null || {
      echo "apt-get could not install: ${missing[*]}" >&2
      return 1
    }
  else
    echo "Missing Debian packages; install them with:" >&2
    echo "  sudo apt-get install ${missing[*]}" >&2
    return 1
  fi
}

TARSIL_BUILD_PACKAGES=(cmake ninja-build g++ make)
TARSIL_TEST_PACKAGES=(libgtest-dev libyaml-cpp-dev llvm-14-tools python3 binutils man-db dpkg-dev lintian python3-jsonschema
                      chromium)
TARSIL_FUZZ_PACKAGES=(clang clang-14 libclang-rt-14-dev)
TARSIL_WINDOWS_PACKAGES=(g++-mingw-w64-x86-64 wine wine64)
# bench/lld: the peer linker, the other target's assembler and archiver, and
# GNU time for the peak memory.
TARSIL_BENCH_PACKAGES=(lld binutils-avr time)
