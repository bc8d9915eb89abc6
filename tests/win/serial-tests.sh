#!/usr/bin/env bash
# Runs a Windows serial test program under Wine against its far end:
# a Wine prefix of its own for this run (copied from TEMPLATE), every COM port
# pinned to a link that wine_peer points at each new pseudo-terminal, one Wine
# server kept for the whole run and stopped at the end.
# usage: serial-tests.sh TEMPLATE RUN_DIR WINE_PEER MODEM_LINES_SO PROGRAM.exe [QELD_SIM]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
template=$1 run=$2 peer=$3 preload=$4 exe=$5 sim=${6:-}
if [[ -n $sim && ! -x $sim ]]; then
  echo "qeld-sim not found at $sim (build the Linux target first); skipped"
  exit 77
fi
# The template is the prefix the headless suite runs in; made here if need be.
(source "$here/wine-env.sh" "$template")
rm -rf "$run"
mkdir -p "$run/shared"
source "$here/wine-env.sh" "$run/prefix" "$template"

peer_pid=
cleanup() {
  [[ -n $peer_pid ]] && kill "$peer_pid" 2>/dev/null && wait "$peer_pid" 2>/dev/null
  wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

# Wine asks a pseudo-terminal for its modem lines; the preloaded fixture
# answers for it (see modem_lines.c).
export LD_PRELOAD=$preload
wineserver -p
"$peer" "$QELD_WINE_PORTS" "$run/peer-port" "$QELD_WINE_HOME" $sim &
peer_pid=$!
for _ in $(seq 100); do
  [[ -s $run/peer-port ]] && break
  sleep 0.05
done
export QELD_PEER_PORT=$(cat "$run/peer-port")
export QELD_SHARED_DIR=$run/shared
wine "$exe"
