#!/usr/bin/env bash
# Runs a Windows test program under Wine in a prefix of its own.
# usage: wine-run.sh PREFIX program.exe [arguments]
set -euo pipefail
source "$(dirname "$0")/wine-env.sh" "$1"
shift
exec wine "$@"
