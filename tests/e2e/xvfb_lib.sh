# Shared start of the end-to-end tests, sourced: a private HOME, an Xvfb of
# the size given on a display it picks itself, qeld-sim as COM1, and a
# cleanup that stops exactly the processes started here.
# xvfb_start WIDTHxHEIGHT; sim_start <qeld-sim>; track <pid>
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
track() { pids+=("$1"); }

xvfb_start() {
  # A free display number, told by Xvfb itself.
  exec 5>"$work/display"
  Xvfb -displayfd 5 -screen 0 "$1x24" -nolisten tcp >/dev/null 2>&1 &
  track $!
  for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
  export DISPLAY=:$(head -n1 "$work/display")
  export QT_QPA_PLATFORM=xcb
}

sim_start() {
  "$1" --com 1 --fast --verbose >"$work/sim.out" 2>"$work/trace" &
  track $!
  for _ in $(seq 100); do grep -q '^COM1 ' "$work/sim.out" && break; sleep 0.05; done
  grep -q '^COM1 ' "$work/sim.out" || { echo "qeld-sim did not start"; exit 1; }
}

# What the console has sent so far, as the simulator's trace saw it.
sent() { grep '^<' "$work/trace" | cut -c3- | tr '\n' ' ' | sed 's/ $//'; }
