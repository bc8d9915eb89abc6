#!/usr/bin/env bash
# qeld-bench --windows: the figures of the Windows build, under Wine, in a
# Wine prefix of the benchmark's own (copied from the tests' prefix when there
# is one). Wine's serial code is given the modem lines a pseudo-terminal
# lacks, as in the serial tests (tests/win/modem_lines.c): without them its
# WaitCommEvent returns at once and the console falls back to waiting 10 ms
# between looks at the line, which no real port makes it do.
# Usage: bench/wine-bench.sh [LINUX_BUILD [WINDOWS_BUILD]] [qeld-bench options]
#        (builds default to build and build-win)
set -euo pipefail
cd "$(dirname "$0")/.."
linux=build win=build-win
if [[ $# -gt 0 && $1 != -* ]]; then linux=$1; shift; fi
if [[ $# -gt 0 && $1 != -* ]]; then win=$1; shift; fi
linux=$(realpath "$linux") win=$(realpath "$win")
for f in "$linux/bench/qeld-bench" "$win/qeld-console.exe" "$win/qeld-winbench.exe" \
         "$win/tests/win/libqeld_modem_lines.so"; do
  [[ -e $f ]] || { echo "wine-bench: $f is missing (scripts/build.sh, scripts/build-win.sh)" >&2; exit 1; }
done
work=$(mktemp -d /tmp/qeld-wine-bench.XXXXXX)
cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
source tests/win/wine-env.sh "$work/prefix" "$win/wine"
export QELD_WINE_PRELOAD=$win/tests/win/libqeld_modem_lines.so
LD_PRELOAD=$QELD_WINE_PRELOAD wineserver -p >/dev/null 2>&1
# The console's first start in a fresh prefix sets Wine up; it is not timed.
LD_PRELOAD=$QELD_WINE_PRELOAD wine cmd /c exit >/dev/null 2>&1 || true
"$linux/bench/qeld-bench" --windows "$win" "$@"
