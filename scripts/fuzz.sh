#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a bounded time, starting from
# its committed corpus in fuzz/corpus/<target>/.  New inputs go to a working
# corpus in the build directory; the committed corpus is only read.
#
#   scripts/fuzz.sh [-t SECONDS] [-j JOBS] [-b BUILD_DIR] [TARGET...]
#
#   -t SECONDS   run time of each target (default 30, or $FUZZ_SECONDS)
#   -j JOBS      targets run at the same time (default: the number of cores)
#   -b DIR       build directory (default build-fuzz)
#   TARGET       the targets to run (default: every *_fuzzer in fuzz/)
#
# Prints one line per target with its executions, and fails when a target
# found a crash, a leak, a sanitizer report or a broken check; the input that
# did it is kept as DIR/artifacts/<target>-crash-* (replay it with
# DIR/fuzz/<target> FILE).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-30}
jobs=$(nproc 2>/dev/null || echo 2)
build=build-fuzz
while getopts "t:j:b:" opt; do
  case "$opt" in
    t) seconds=$OPTARG ;;
    j) jobs=$OPTARG ;;
    b) build=$OPTARG ;;
    *) sed -n '2,19p' "$0"; exit 2 ;;
  esac
done
shift $((OPTIND - 1))

scripts/install-deps.sh clang libclang-rt-dev

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for src in fuzz/*_fuzzer.cc; do
    targets+=("$(basename "$src" .cc)")
  done
fi

echo "== $build: configure and build the fuzz targets"
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVUPDTR_BUILD_FUZZ=ON \
  -DTOVUPDTR_BUILD_TESTS=OFF -DTOVUPDTR_BUILD_CLI=OFF > "$build.configure.log" \
  2>&1 || { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" -- "${targets[@]}"

mkdir -p "$build/artifacts"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# Runs target $1 and writes its summary line to $build/$1.summary; fails when
# the target found anything.
run_target() {
  local t=$1
  local seeds=fuzz/corpus/$t work=$build/corpus/$t log=$build/$t.log rc=0
  mkdir -p "$work"
  # -close_fd_mask=2 silences the library's own messages; sanitizer and
  # libFuzzer reports still reach the log.
  "$build/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -close_fd_mask=2 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$t-" "$work" "$seeds" > "$log" 2>&1 ||
    rc=$?
  local execs inputs
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  inputs=$(find "$work" "$seeds" -type f | wc -l)
  if [ "$rc" -ne 0 ]; then
    printf '%-22s FAILED (exit %d), see %s\n' "$t" "$rc" "$log" \
      > "$build/$t.summary"
    return 1
  fi
  printf '%-22s %10s executions in %ss, %s inputs in corpus\n' \
    "$t" "${execs:-?}" "$seconds" "$inputs" > "$build/$t.summary"
}

echo "== ${#targets[@]} targets, ${seconds}s each, $jobs at a time"
for t in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  rm -f "$build/$t.summary"
  run_target "$t" &
done
wait

echo "== fuzzing summary"
failed=0
for t in "${targets[@]}"; do
  if [ -f "$build/$t.summary" ]; then cat "$build/$t.summary"; fi
  if ! [ -f "$build/$t.summary" ] || grep -q FAILED "$build/$t.summary"; then
    failed=1
    tail -n 60 "$build/$t.log" 2>/dev/null || true
  fi
done
exit "$failed"
