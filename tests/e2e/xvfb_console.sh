#!/usr/bin/env bash
# The real console under Xvfb beside qeld-sim: Enter connects (exact bytes on
# the wire, the answer acknowledged), a click at the centre of "Go Loader"
# sends "r" and the module's answer opens its box. Screenshots go to the
# build folder.
# Usage: xvfb_console.sh <qeld-console> <qeld-sim> <output folder>
set -euo pipefail
console=$1 sim=$2 out=$3
command -v Xvfb >/dev/null && command -v xdotool >/dev/null || { echo "Xvfb and xdotool are needed"; exit 1; }

work=$(mktemp -d)
export HOME=$work
# The console must draw on the X server here, whatever the test run chose for the others.
unset QT_QPA_PLATFORM
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A free display number, told by Xvfb itself.
exec 5>"$work/display"
Xvfb -displayfd 5 -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
export DISPLAY=:$(head -n1 "$work/display")
# The test runner asks Qt for its offscreen platform; this window must be real.
export QT_QPA_PLATFORM=xcb

"$sim" --com 1 --fast --verbose >"$work/sim.out" 2>"$work/trace" &
pids+=($!)
for _ in $(seq 100); do grep -q '^COM1 ' "$work/sim.out" && break; sleep 0.05; done
grep -q '^COM1 ' "$work/sim.out" || { echo "qeld-sim did not start"; exit 1; }

QT_QPA_PLATFORM=xcb "$console" 2>"$work/console.err" &
pids+=($!)
console_pid=$!
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
    [ "$(grep '^<' "$work/trace" | cut -c3- | tr '\n' ' ' | sed 's/ $//')" = "$*" ] && return 0
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
