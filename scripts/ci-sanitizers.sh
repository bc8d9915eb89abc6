#!/usr/bin/env bash
# CI stage: the whole test suite under AddressSanitizer with
# UndefinedBehaviorSanitizer (leak checking on), then the serial and
# pseudo-terminal tests under ThreadSanitizer. Both builds use clang; the
# first also builds the fuzz targets for scripts/ci-fuzz.sh.
#
# Every process of a run (qeld-sim included) writes its sanitizer reports
# into one folder; a run passes only when its tests pass and that folder
# stays empty.
set -euo pipefail
cd "$(dirname "$0")/.."
asan_dir=${QELD_ASAN_BUILD:-build-asan}
tsan_dir=${QELD_TSAN_BUILD:-build-tsan}
jobs=${QELD_JOBS:-2}
export CC=clang CXX=clang++
export QT_QPA_PLATFORM=offscreen

# Runs ctest in a build folder with the given sanitizer settings; fails on
# a failing test or on any report.
run_suite() {
  local dir=$1 name=$2
  shift 2
  local reports
  reports=$(mktemp -d "/tmp/qeld-$name-reports.XXXXXX")
  echo "== $name: ctest $*"
  local status=0
  ASAN_OPTIONS="detect_leaks=1:log_path=$reports/asan" \
  LSAN_OPTIONS="suppressions=$PWD/scripts/lsan-suppressions.txt:print_suppressions=0" \
  UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan" \
  TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$reports/tsan" \
    ctest --test-dir "$dir" --output-on-failure -j"$jobs" "$@" || status=$?
  if compgen -G "$reports/*" >/dev/null; then
    echo "== $name: sanitizer reports:"
    for f in "$reports"/*; do echo "--- $f"; cat "$f"; done
    status=1
  else
    echo "== $name: no sanitizer report"
  fi
  rm -rf "$reports"
  return $status
}

# --- AddressSanitizer + UndefinedBehaviorSanitizer: every test ------------------
gui=ON
pkg-config --exists Qt6Widgets 2>/dev/null || gui=OFF
cmake -S . -B "$asan_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQELD_SANITIZE=address,undefined \
      -DQELD_FUZZ=ON -DQELD_BUILD_GUI=$gui >/dev/null
cmake --build "$asan_dir" -j"$jobs"
run_suite "$asan_dir" asan-ubsan

# --- ThreadSanitizer: the serial channel and everything on pseudo-terminals -------
cmake -S . -B "$tsan_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQELD_SANITIZE=thread -DQELD_BUILD_GUI=OFF >/dev/null
cmake --build "$tsan_dir" -j"$jobs" --target qeld_pty_tests qeld-sim
run_suite "$tsan_dir" tsan -L serial
