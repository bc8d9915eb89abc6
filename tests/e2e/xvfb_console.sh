#!/usr/bin/env bash
# The real console under Xvfb beside qeld-sim: Enter connects (exact bytes on
# the wire, the answer acknowledged), a click at the centre of "Go Loader"
# sends "r" and the module's answer opens its box. Screenshots go to the
# build folder.
# Usage: xvfb_console.sh <qeld-console> <qeld-sim> <output folder>
set -euo pipefail
console=$1 sim=$2 out=$3
. "$(dirname "$0")/xvfb_lib.sh"
xvfb_start 1280x1024
sim_start "$sim"

"$console" 2>"$work/console.err" &
console_pid=$!
track $console_pid
win=$(timeout 60 xdotool search --sync --name '^QELD Ver 1\.15 International \(' | head -n1 || true)
if [ -z "$win" ]; then
  echo "no console window (console $(kill -0 $console_pid 2>/dev/null && echo running || echo ended))"
  cat "$work/console.err"
  exit 1
fi
sleep 0.5
import -window root "$out/xvfb-start.png" 2>/dev/null || true

# Waits until everything the console sent (the trace's "<" lines, joined)
# equals the given bytes.
wait_sent() {
  for _ in $(seq 100); do
    [ "$(sent)" = "$*" ] && return 0
    sleep 0.05
  done
  echo "expected from the console: $*"; echo "--- trace:"; cat "$work/trace"; return 1
}

# Enter = OPEN with COM1 selected.
xdotool key --window "$win" Return
# The sequence query, then the ACK of the module's "g" answer.
wait_sent "04 30 02 67 03 52 06"
sleep 0.3
import -window root "$out/xvfb-connected.png" 2>/dev/null || true

# "Go Loader" at client rectangle (612, 36, 656, 98); the menu bar sits above the client area.
height=$(xdotool getwindowgeometry "$win" | awk '/Geometry/ {split($2, a, "x"); print a[2]}')
offset=$((height - 797))
xdotool mousemove --window "$win" $(((36 + 98) / 2)) $(((612 + 656) / 2 + offset)) click 1
wait_sent "04 30 02 67 03 52 06 04 30 02 72 03 47 06"
box=$(timeout 30 xdotool search --sync --name '^QELD TP$' | head -n1 || true)
[ -n "$box" ] || { echo "no answer box"; exit 1; }
sleep 0.3
import -window root "$out/xvfb-go-loader.png" 2>/dev/null || true
xdotool key Return 2>/dev/null || true
echo "xvfb console: OK"
