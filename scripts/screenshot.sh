#!/usr/bin/env bash
# Makes the README's picture, docs/console-connected.png: the console on a
# virtual display, connected to qeld-sim as COM1, after reading the versions,
# the sensors, the serial number and the note lengths and one dispense.
# Usage: bash scripts/screenshot.sh [build folder]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
out=$PWD/docs/console-connected.png
for tool in Xvfb xdotool import convert; do
  command -v $tool >/dev/null || { echo "needs $tool (xvfb, xdotool, imagemagick)"; exit 1; }
done

work=$(mktemp -d)
export HOME=$work
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

exec 5>"$work/display"
Xvfb -displayfd 5 -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
export DISPLAY=:$(head -n1 "$work/display")

"$build/qeld-sim" --com 1 --fast --verbose --seed 7 >"$work/sim.out" 2>"$work/trace" &
pids+=($!)
for _ in $(seq 100); do grep -q '^COM1 ' "$work/sim.out" && break; sleep 0.05; done
"$build/qeld-console" 2>/dev/null &
pids+=($!)
win=$(timeout 20 xdotool search --sync --name '^QELD Ver 1\.15 International \(' | head -n1)

# Each answer of the module is acknowledged by the console with one ACK write.
acks() { grep -cx '< 06' "$work/trace" || true; }
wait_acks() {
  for _ in $(seq 200); do (($(acks) >= $1)) && return 0; sleep 0.05; done
  echo "no answer to the console's request"; exit 1
}
height=$(xdotool getwindowgeometry "$win" | awk '/Geometry/ {split($2, a, "x"); print a[2]}')
offset=$((height - 797))  # the menu bar above the client area
# Clicks the centre of a control given by its client rectangle (top, left, bottom, right).
click() { xdotool mousemove --window "$win" $((($2 + $4) / 2)) $((($1 + $3) / 2 + offset)) click 1; }

xdotool key --window "$win" Return  # OPEN with COM1
wait_acks 1
n=1
for rect in "476 36 498 146" "504 36 526 146" "448 36 470 146" "434 419 456 497" "544 36 566 110" "207 262 229 306"; do
  # Loader version, Firmware version, Rom version, Check now, Get Serial, length GET
  click $rect
  n=$((n + 1))
  wait_acks $n
done
for field in "94 476 114 522 5" "122 476 142 522 3"; do  # Request CST 1 and CST 2
  set -- $field
  click $1 $2 $3 $4
  xdotool key --window "$win" ctrl+a
  xdotool type --window "$win" "$5"
done
click 62 750 83 830  # DISPENSE
wait_acks $((n + 1))
sleep 0.5  # the window repaints after the last answer
mkdir -p docs
import -window "$win" "$work/shot.png"
# A small palette keeps the picture small; the window has few colours.
convert "$work/shot.png" -colors 64 -strip "PNG8:$out"
echo "$out: $(stat -c %s "$out") bytes"
