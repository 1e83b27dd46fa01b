#!/usr/bin/env bash
# Installs a built tree into a temporary prefix and checks it as its users
# would: the files are where they belong, the installed program runs and
# uses the installed library, and a small program builds against the
# installation through the CMake package and through pkg-config, and runs.
#
# Usage: install_test.sh BUILD_DIR VERSION LIBDIR CC "CFLAGS" GENERATOR
#        (LIBDIR relative to the prefix; CFLAGS also used to link)
set -euo pipefail
build=$1 version=$2 libdir=$3 cc=$4 cflags=$5 generator=$6
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$prefix" > "$work/install.log" ||
  { cat "$work/install.log"; fail "cmake --install"; }

major=${version%%.*}
minor=${version#*.}; minor=${minor%%.*}
soversion=$major
[ "$major" -eq 0 ] && soversion=$major.$minor
for file in include/tovUpdtr.h include/tovUpdtr_version.h \
            "$libdir/libtovUpdtr.so.$version" bin/tovupdtr \
            share/man/man1/tovupdtr.1 \
            "$libdir/cmake/tovUpdtr/tovUpdtrConfig.cmake" \
            "$libdir/cmake/tovUpdtr/tovUpdtrConfigVersion.cmake" \
            "$libdir/pkgconfig/tovUpdtr.pc"; do
  [ -f "$prefix/$file" ] || fail "$file is not installed"
done
[ "$(readlink "$prefix/$libdir/libtovUpdtr.so")" = "libtovUpdtr.so.$soversion" ] ||
  fail "libtovUpdtr.so does not point to the soname libtovUpdtr.so.$soversion"
# Outputs are taken whole before they are searched: grep -q stops reading at
# the first match, and the writer's broken pipe would fail the pipeline.
headers=$(objdump -p "$prefix/$libdir/libtovUpdtr.so")
grep -q "SONAME *libtovUpdtr.so.$soversion\$" <<< "$headers" || fail "soname"
grep -q "#define TOVUPDTR_VERSION_STRING \"$version\"" \
  "$prefix/include/tovUpdtr_version.h" || fail "version header"

# The installed program finds the installed library by itself.
[ "$("$prefix/bin/tovupdtr" -version)" = "tovupdtr $version" ] ||
  fail "tovupdtr -version"
loaded=$(ldd "$prefix/bin/tovupdtr")
grep -q "libtovUpdtr.so.$soversion => $prefix/" <<< "$loaded" ||
  fail "tovupdtr does not load the installed library: $loaded"
if command -v man > /dev/null; then
  man --warnings -l "$prefix/share/man/man1/tovupdtr.1" 2>&1 > /dev/null |
    (! grep .) || fail "the installed manual page draws warnings"
fi

# Runs a consumer program in a fresh directory and checks what it did.
check_consumer() {
  local program=$1 dir=$2
  mkdir -p "$dir"
  "$program" "$dir" > "$dir.out" || { cat "$dir.out"; fail "$program"; }
  grep -q "^compiled with $version, running $version\$" "$dir.out" ||
    fail "$program: $(head -1 "$dir.out")"
  printf '// newLib.top\nuse newLib;\n' | cmp -s - "$dir/top.v" ||
    fail "$program did not rewrite top.v"
}

# CMake: find_package(tovUpdtr) with the version installed.
cmake -S "$here/consumer" -B "$work/cmake" -G "$generator" \
  -DCMAKE_PREFIX_PATH="$prefix" -DWANTED_VERSION="$version" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$cflags" \
  -DCMAKE_EXE_LINKER_FLAGS="$cflags" > "$work/cmake.log" 2>&1 ||
  { cat "$work/cmake.log"; fail "configuring the CMake consumer"; }
cmake --build "$work/cmake" > "$work/cmake-build.log" 2>&1 ||
  { cat "$work/cmake-build.log"; fail "building the CMake consumer"; }
check_consumer "$work/cmake/consumer" "$work/run-cmake"

# Before 1.0 another minor version is another interface: an older minor
# version asked for is not found.
if [ "$major" -eq 0 ] && [ "$minor" -gt 0 ]; then
  if cmake -S "$here/consumer" -B "$work/cmake-old" -G "$generator" \
       -DCMAKE_PREFIX_PATH="$prefix" -DWANTED_VERSION="0.$((minor - 1))" \
       -DCMAKE_C_COMPILER="$cc" > "$work/cmake-old.log" 2>&1; then
    fail "find_package(tovUpdtr 0.$((minor - 1))) accepted $version"
  fi
fi

# pkg-config, seeing only the installed tree.
export PKG_CONFIG_LIBDIR="$prefix/$libdir/pkgconfig"
[ "$(pkg-config --modversion tovUpdtr)" = "$version" ] || fail "pkg-config version"
pc_flags=$(pkg-config --cflags --libs tovUpdtr)
pc_libdir=$(pkg-config --variable=libdir tovUpdtr)
[ "$pc_libdir" = "$prefix/$libdir" ] || fail "pkg-config libdir $pc_libdir"
# shellcheck disable=SC2086  # the flags are words
"$cc" -std=c99 $cflags -o "$work/pc-consumer" "$here/consumer/consumer.c" \
  $pc_flags -Wl,-rpath,"$pc_libdir" || fail "building with pkg-config"
check_consumer "$work/pc-consumer" "$work/run-pc"

echo "installed into a temporary prefix; CMake and pkg-config consumers run"
