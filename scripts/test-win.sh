#!/usr/bin/env bash
# Cross-builds the Windows target into build-win/ and runs its tests under
# Wine: the headless suite, the serial channel against pseudo-terminals, and
# the console against qeld-sim (from the Linux build in build/, built first).
# Writes the seconds it took to build-win/test-seconds for CI's summary.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
bash scripts/build-win.sh build-win -DQELD_SIM="$PWD/build/qeld-sim" "$@"
cd build-win
ctest --output-on-failure -j2
echo $((SECONDS - start)) >test-seconds
