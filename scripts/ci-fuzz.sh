#!/usr/bin/env bash
# CI stage: each libFuzzer target for a bounded time (QELD_FUZZ_SECONDS, 60 by
# default) from the committed seed corpus. Any crash, leak, sanitizer report or
# hang fails the stage; the input that caused it is kept in the build folder.
#
# Longer runs by hand, e.g. ten million executions on two workers:
#   build-asan/fuzz/qeld_receiver_fuzz -jobs=2 -workers=2 -runs=5000000 CORPUS_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${QELD_ASAN_BUILD:-build-asan}
seconds=${QELD_FUZZ_SECONDS:-60}
export CC=clang CXX=clang++
# The same settings as the sanitizer stage, so its build is reused.
gui=ON
pkg-config --exists Qt6Widgets 2>/dev/null || gui=OFF
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQELD_SANITIZE=address,undefined \
      -DQELD_FUZZ=ON -DQELD_BUILD_GUI=$gui >/dev/null
cmake --build "$dir" -j"${QELD_JOBS:-2}" --target qeld_receiver_fuzz qeld_loader_fuzz

# A small quarantine keeps the freed memory warm (the console is rebuilt for
# every input); use-after-free is still caught within it.
export ASAN_OPTIONS=detect_leaks=1:quarantine_size_mb=16
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
status=0
for target in receiver loader; do
  work="$dir/fuzz-run/$target"
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/artifacts"
  cp fuzz/corpus/$target/* "$work/corpus/"
  echo "== fuzzing $target for ${seconds}s"
  if ! "$dir/fuzz/qeld_${target}_fuzz" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
       -artifact_prefix="$work/artifacts/" "$work/corpus" >"$work/log" 2>&1; then
    status=1
  fi
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)' "$work/log" || true
  if [ "$status" -ne 0 ] || compgen -G "$work/artifacts/*" >/dev/null; then
    echo "== $target: FINDING"
    tail -n 60 "$work/log"
    ls -l "$work/artifacts"
    status=1
  else
    echo "== $target: no finding"
  fi
done
exit $status
