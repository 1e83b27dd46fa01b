#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, and only those
# that are missing.  Options:
#   --bench   also Google Benchmark (libbenchmark-dev), for
#             -DTOVUPDTR_BUILD_BENCH=ON
# Any other argument is taken as one more package name.
set -euo pipefail

extra=()
for arg in "$@"; do
  case "$arg" in
    --bench) extra+=(libbenchmark-dev) ;;
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
