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
# Installed without the packages they merely recommend (Wine's would add
# fonts, sound and graphics libraries that no test uses).
bare=()
for arg in "$@"; do
  case "$arg" in
    --bench) extra+=(libbenchmark-dev) ;;
    --windows)
      bare+=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
             binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 wine64 wine
             googletest dpkg-dev perl python3 python3-six unicode-data) ;;
    *) extra+=("$arg") ;;
  esac
done

packages=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev
          libre2-dev ${extra[@]+"${extra[@]}"})
# The packages of `$@` that are not installed.
missing_of() {
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' ||
      echo "$p"
  done
}
mapfile -t missing < <(missing_of "${packages[@]}")
mapfile -t missing_bare < <(missing_of ${bare[@]+"${bare[@]}"})
if [ ${#missing[@]} -gt 0 ] || [ ${#missing_bare[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]} ${missing_bare[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  if [ ${#missing[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
  fi
  if [ ${#missing_bare[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq \
      --no-install-recommends "${missing_bare[@]}"
  fi
fi
