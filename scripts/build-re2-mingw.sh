#!/usr/bin/env bash
# Builds RE2 for Windows from Debian's own source package of re2, the very
# version of the libre2-dev that the Linux build uses, so that expressions
# behave alike on both.  The source comes through apt from the Debian mirror
# the machine is set up with; apt's state for it is kept apart, in the
# dependency folder, and /etc/apt is left as it is.
#
# Usage: scripts/build-re2-mingw.sh [x86_64|i686 ...]   (default: x86_64)
# Installs a static libre2.a with its headers and CMake package into
# build-win-deps/<triplet> (TOVUPDTR_WIN_DEPS names another folder), where
# cmake/toolchain-mingw.cmake looks for it.  A target already built from the
# same version is left alone.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
deps=${TOVUPDTR_WIN_DEPS:-$root/build-win-deps}
arches=("$@")
[ ${#arches[@]} -gt 0 ] || arches=(x86_64)
jobs=${JOBS:-2}

version=$(dpkg-query -W -f='${source:Version}' libre2-dev 2>/dev/null || true)
if [ -z "$version" ]; then
  echo "build-re2-mingw: libre2-dev is not installed (scripts/install-deps.sh)" >&2
  exit 1
fi
src=$deps/src/re2-$version

fetch() {
  local apt=$deps/apt
  mkdir -p "$apt/sources.list.d" "$apt/lists/partial" \
           "$apt/cache/archives/partial" "$deps/src"
  : > "$apt/sources.list"
  # The source entries of the mirror(s) that serve the machine's Debian
  # packages: each "deb" entry of the Debian archive itself (not of the
  # security archive or of other vendors) with "deb-src" in its place.
  local out=$apt/sources.list.d/debian-src.sources
  : > "$out"
  shopt -s nullglob
  for f in /etc/apt/sources.list.d/*.sources; do
    awk 'BEGIN { RS = ""; ORS = "\n\n" }
         /(^|\n)Types:[^\n]*deb([ \t]|\n|$)/ &&
         /(^|\n)URIs:[^\n]*\/debian\/?([ \t]|\n|$)/ {
           sub(/Types:[^\n]*/, "Types: deb-src"); print }' "$f" >> "$out"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    awk '$1 == "deb" && $0 ~ /\/debian\/? / { $1 = "deb-src"; print }' "$f" \
      >> "$apt/sources.list"
  done
  shopt -u nullglob
  if [ ! -s "$out" ] && [ ! -s "$apt/sources.list" ]; then
    echo "build-re2-mingw: no Debian mirror found in /etc/apt" >&2
    exit 1
  fi
  local opts=(-o "Dir::Etc::SourceList=$apt/sources.list"
              -o "Dir::Etc::SourceParts=$apt/sources.list.d"
              -o "Dir::State::Lists=$apt/lists"
              -o "Dir::Cache=$apt/cache"
              -qq)
  # apt's download sandbox user could not write into this folder.
  [ "$(id -u)" -ne 0 ] || opts+=(-o "APT::Sandbox::User=root")
  echo "== re2 $version: source package"
  apt-get "${opts[@]}" update
  local download=$deps/src/download
  rm -rf "$download"
  mkdir -p "$download"
  (cd "$download" && apt-get "${opts[@]}" source --download-only "re2=$version")
  rm -rf "$src.tmp" "$src"
  # apt has checked every file against the signed index of the archive;
  # the signature of the .dsc itself would need Debian's keyring.
  dpkg-source --no-check -x "$download/re2_${version#*:}.dsc" "$src.tmp" \
    > /dev/null
  # The source package leaves out the generated tables, as Debian's build
  # makes them anew (REBUILD_TABLES=1): from its perl and python scripts and
  # the Unicode data of the unicode-data package, as here.
  (cd "$src.tmp" &&
   perl re2/make_perl_groups.pl > re2/perl_groups.cc &&
   /usr/bin/python3 re2/make_unicode_casefold.py > re2/unicode_casefold.cc &&
   /usr/bin/python3 re2/make_unicode_groups.py > re2/unicode_groups.cc)
  mv "$src.tmp" "$src"
  rm -rf "$download" "$deps/src/"re2_*.orig.tar.*
}

[ -f "$src/re2/unicode_groups.cc" ] || fetch

for arch in "${arches[@]}"; do
  case "$arch" in
    x86_64) toolchain=$root/cmake/toolchain-mingw64.cmake ;;
    i686) toolchain=$root/cmake/toolchain-mingw32.cmake ;;
    *) echo "build-re2-mingw: unknown target $arch" >&2; exit 1 ;;
  esac
  prefix=$deps/$arch-w64-mingw32
  stamp=$prefix/re2.version
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$version" ] &&
     [ -f "$prefix/lib/libre2.a" ]; then
    echo "== re2 $version for $arch: already built"
    continue
  fi
  echo "== re2 $version for $arch: build"
  build=$deps/build-re2-$arch
  rm -rf "$build" "$prefix"
  cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DRE2_BUILD_TESTING=OFF \
    -DBUILD_SHARED_LIBS=OFF -DCMAKE_INSTALL_PREFIX="$prefix" > /dev/null
  cmake --build "$build" -j "$jobs" > /dev/null
  cmake --install "$build" > /dev/null
  echo "$version" > "$stamp"
  rm -rf "$build"
done
