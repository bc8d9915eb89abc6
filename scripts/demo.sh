#!/usr/bin/env bash
# Installs what is missing, builds, starts the module simulator as COM1 and
# opens the console beside it. Without a display the console runs on a
# virtual one (Xvfb).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh build
sim_out=$(mktemp)
./build/qeld-sim --com 1 >"$sim_out" &
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; rm -f "$sim_out"' EXIT
for _ in $(seq 100); do
  grep -q '^COM1 ' "$sim_out" && break
  sleep 0.05
done
echo "Simulator ready: $(head -n1 "$sim_out")"
echo "In the console: COM1 is selected; press OPEN (or Enter) to connect."
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  ./build/qeld-console
else
  echo "No display found: running the console on a virtual X display."
  xvfb-run -a -s "-screen 0 1280x1024x24" ./build/qeld-console
fi
