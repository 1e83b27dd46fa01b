#!/usr/bin/env bash
# Builds tovUpdtr for Windows with Debian's MinGW-w64 compilers and tests it
# under Wine:
#   1. the Debian packages it needs (scripts/install-deps.sh --windows);
#   2. RE2 from Debian's source package, for each target
#      (scripts/build-re2-mingw.sh);
#   3. tovUpdtr.dll, tovupdtr.exe and the tests for 64-bit Windows
#      (build-win64) and 32-bit Windows (build-win32), warnings as errors;
#      the 32-bit build compiles the assertion of the 32-bit layout of
#      tovUpdtrHashElement;
#   4. the export table, imports and DllMain of both DLLs
#      (scripts/check-dll-exports.sh);
#   5. the GoogleTest suite under Wine (ctest) for 64-bit Windows, and for
#      32-bit Windows where Wine can run 32-bit programs (Debian's wine32);
#   6. the examples updated by tovupdtr.exe under Wine, compared byte for
#      byte with what the Linux program makes of them, one of their files
#      with CR LF line ends.
# Options:
#   --quick  the smoke test of CI: 64-bit DLL and program only (no tests),
#            their exports, the 32-bit layout assertion compiled alone, and
#            the examples under Wine
# The time of each step is printed.  JOBS sets the parallel jobs (2).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
quick=0
for arg in "$@"; do
  case "$arg" in
    --quick) quick=1 ;;
    *) echo "usage: scripts/test-windows.sh [--quick]" >&2; exit 2 ;;
  esac
done
jobs=${JOBS:-2}
deps=${TOVUPDTR_WIN_DEPS:-$root/build-win-deps}
export TOVUPDTR_WIN_DEPS=$deps
# The Linux program that the examples are compared with.
linux_build=${TOVUPDTR_LINUX_BUILD_DIR:-$root/build-win-linux}
[[ $linux_build = /* ]] || linux_build=$root/$linux_build

start=$SECONDS
step_start=$SECONDS
step() {
  echo "== $*"
  step_start=$SECONDS
}
done_step() { echo "   ($((SECONDS - step_start)) s)"; }

step "packages"
scripts/install-deps.sh --windows
done_step

targets=(x86_64 i686)
[ $quick -eq 0 ] || targets=(x86_64)
step "RE2 for ${targets[*]}"
JOBS=$jobs scripts/build-re2-mingw.sh "${targets[@]}"
done_step

configure() {
  local dir=$1 toolchain=$2
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTOVUPDTR_WERROR=ON -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    > "$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
}

if [ $quick -eq 1 ]; then
  step "build-win64: tovUpdtr.dll and tovupdtr.exe"
  configure build-win64 cmake/toolchain-mingw64.cmake
  cmake --build build-win64 -j "$jobs" --target tovUpdtr tovupdtr
  done_step
  step "32-bit layout assertion (i686, mapping_table.cc alone)"
  i686-w64-mingw32-g++-posix -std=c++17 -fsyntax-only -Wall -Wextra -Werror \
    -DTOVUPDTR_BUILDING \
    -Iinclude -Isrc -Ibuild-win64/include src/mapping/mapping_table.cc
  done_step
else
  for target in "${targets[@]}"; do
    if [ "$target" = x86_64 ]; then dir=build-win64; bits=64; else dir=build-win32; bits=32; fi
    step "$dir: configure and build"
    configure "$dir" "cmake/toolchain-mingw$bits.cmake"
    cmake --build "$dir" -j "$jobs"
    done_step
  done
fi

step "export tables"
for dir in build-win64 build-win32; do
  [ -f "$dir/bin/tovUpdtr.dll" ] || continue
  [ $quick -eq 0 ] || [ "$dir" = build-win64 ] || continue
  echo "$dir/bin/tovUpdtr.dll:"
  scripts/check-dll-exports.sh "$dir/bin/tovUpdtr.dll"
done
done_step

# Wine's own processes (wineserver, services.exe, ...) stay for the whole
# run, started here with no pipe of ctest's among their handles, which
# ctest would otherwise wait for.
export WINEPREFIX=$deps/wineprefix WINEDEBUG=-all
step "Wine: first start"
wineserver -p 2> /dev/null || true  # (or already running)
trap 'wineserver -k 2> /dev/null || true' EXIT
wine cmd /c exit > /dev/null 2>&1 < /dev/null || true
done_step

if [ $quick -eq 0 ]; then
  step "build-win64: tests under Wine"
  ctest --test-dir build-win64 --output-on-failure -j "$jobs" --timeout 300
  done_step
  if wine build-win32/bin/tovupdtr.exe -version > /dev/null 2>&1 < /dev/null
  then
    step "build-win32: tests under Wine"
    ctest --test-dir build-win32 --output-on-failure -j "$jobs" --timeout 300
    done_step
  else
    echo "== build-win32: this Wine runs no 32-bit programs (package wine32" \
         "of architecture i386): its tests are not run"
  fi
fi

step "examples: tovupdtr.exe under Wine against the Linux program"
if [ ! -f "$linux_build/CMakeCache.txt" ]; then
  cmake -S . -B "$linux_build" -G Ninja -DTOVUPDTR_BUILD_TESTS=OFF > /dev/null
fi
cmake --build "$linux_build" -j "$jobs" --target tovupdtr > /dev/null
work=$(mktemp -d)
trap 'wineserver -k 2> /dev/null || true; rm -rf "$work"' EXIT
if grep -r -l -F '\' examples > /dev/null; then
  echo "examples: a backslash in a file would not survive the comparison" \
       "of paths below" >&2
  exit 1
fi
args=(-fromToList rename.ftl -updateFileList update.list -murlib lib.defs
      -reason rename)
run_examples() {
  local name=$1; shift
  cp -R examples "$work/$name"
  # One file with CR LF line ends: they must survive as they are.
  sed -i 's/$/\r/' "$work/$name/libs/newLib/top/spice/top.sp"
  local dry=0 real=0
  cd "$work/$name"
  "$@" "${args[@]}" -dryRun -diff > "../$name.preview" 2> "../$name.err1" \
    < /dev/null || dry=$?
  "$@" "${args[@]}" > "../$name.out" 2> "../$name.err2" < /dev/null || real=$?
  cd "$root"
  printf 'dry run: %s\nupdate: %s\n' "$dry" "$real" > "$work/$name.status"
}
run_examples linux "$linux_build/cli/tovupdtr"
run_examples windows wine "$root/build-win64/bin/tovupdtr.exe"
# Windows writes paths with '\', and its messages on stderr (text mode)
# with CR LF; the standard output is binary, as on Linux.
for f in preview out; do
  tr '\\' '/' < "$work/windows.$f" > "$work/windows.$f.cmp"
done
for f in err1 err2; do
  tr '\\' '/' < "$work/windows.$f" | tr -d '\r' > "$work/windows.$f.cmp"
done
status=0
for f in status preview out err1 err2; do
  cmp=$work/windows.$f.cmp
  [ -f "$cmp" ] || cmp=$work/windows.$f
  if ! diff -u "$work/linux.$f" "$cmp"; then
    echo "examples: $f differs between Linux and Windows"; status=1
  fi
done
if ! diff -r "$work/linux" "$work/windows"; then
  echo "examples: the updated trees differ"; status=1
fi
crlf_file=$work/windows/libs/newLib/top/spice/top.sp
if [ "$(grep -c $'\r$' "$crlf_file")" != "$(wc -l < "$crlf_file")" ]; then
  echo "examples: a CR LF line end was lost"; status=1
fi
sed 's/^/   /' "$work/windows.out" "$work/windows.status"
[ $status -eq 0 ] || exit 1
echo "   Windows and Linux: the same output, the same updated files"
done_step
echo "== all Windows steps passed in $((SECONDS - start)) s"
