#!/usr/bin/env bash
# The real console on a laptop's 1366 x 768 screen under Xvfb, beside
# qeld-sim: the window fits the screen, the page scrolls, and the bottom row
# is reached with the mouse wheel and used: a click on OPEN connects (the
# sequence query on the wire), a click on EXIT ends the console.
# Usage: xvfb_small_screen.sh <qeld-console> <qeld-sim> <output folder>
# The picture of the connected console goes to <output folder>/console-1366x768.png.
set -euo pipefail
console=$1 sim=$2 out=$3
. "$(dirname "$0")/xvfb_lib.sh"
xvfb_start 1366x768
sim_start "$sim"

"$console" 2>"$work/console.err" &
console_pid=$!
track $console_pid
win=$(timeout 60 xdotool search --sync --name '^QELD Ver 1\.15 International \(' | head -n1 || true)
[ -n "$win" ] || { echo "no console window"; cat "$work/console.err"; exit 1; }
sleep 0.5

read -r width height < <(xdotool getwindowgeometry "$win" | awk '/Geometry/ {split($2, a, "x"); print a[1], a[2]}')
echo "window ${width}x${height} on a 1366x768 screen"
((height <= 768 - 30)) || { echo "the window does not fit the screen: height $height"; exit 1; }
((width <= 1366)) || { echo "the window does not fit the screen: width $width"; exit 1; }

[ -z "$(sent)" ] || { echo "sent before OPEN: $(sent)"; exit 1; }

# The wheel over the page's left margin (no field there to take it) scrolls
# down to the bottom row.
for _ in $(seq 12); do xdotool mousemove --window "$win" 4 300 click 5; done
sleep 0.3
# Scrolled to the end, the page's bottom edge is the window's: a control at
# client y stands at window y = height - (page height - y). OPEN's rectangle
# in client pixels: x 364..451, y 754..780 (the template's 208, 402, 50, 14
# dialog units); EXIT: x 770..857, y 743..784. The page is 797 pixels high.
page=797
xdotool mousemove --window "$win" $(((364 + 451) / 2)) $((height - (page - (754 + 780) / 2))) click 1
for _ in $(seq 100); do [ "$(sent)" = "04 30 02 67 03 52 06" ] && break; sleep 0.05; done
[ "$(sent)" = "04 30 02 67 03 52 06" ] || { echo "OPEN did not connect; sent: $(sent)"; cat "$work/console.err"; exit 1; }
sleep 0.3
import -window root "$out/console-1366x768.png" 2>/dev/null || true

xdotool mousemove --window "$win" $(((770 + 857) / 2)) $((height - (page - (743 + 784) / 2))) click 1
for _ in $(seq 100); do kill -0 "$console_pid" 2>/dev/null || break; sleep 0.05; done
if kill -0 "$console_pid" 2>/dev/null; then echo "EXIT did not end the console"; exit 1; fi
echo "xvfb small screen: OK"
