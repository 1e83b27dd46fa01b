#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, and only those
# that are missing.  Options:
#   --bench   also Google Benchmark (libbenchmark-dev), for
#             -DTOVUPDTR_BUILD_BENCH=ON
#   --windows also what the Windows builds and their tests take
#             (scripts/test-windows.sh): the MinGW-w64 compilers of the posix
#             thread model for 64-bit and 32-bit Windows, Wine, GoogleTest's
#             sources, and what RE2's source package needs to make its
#             tables (perl, python3 with six, unicode-data) and to be
#             unpacked (dpkg-dev)
# Any other argument is taken as one more package name.
set -euo pipefail

extra=()
for arg in "$@"; do
  case "$arg" in
    --bench) extra+=(libbenchmark-dev) ;;
    --windows)
      extra+=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
              binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 wine64 wine
              googletest dpkg-dev perl python3 python3-six unicode-data) ;;
    *) extra+=("$arg") ;;
  esac
done

packages=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev
          libre2-dev ${extra[@]+"${extra[@]}"})
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' ||
    missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
