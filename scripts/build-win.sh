#!/usr/bin/env bash
# Cross-builds the Windows target into build-win/ (or the folder given) with
# MinGW-w64; ctest there runs the tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-win}
shift || true
cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
