#!/usr/bin/env bash
# The real qeld-console.exe under Xvfb and Wine beside qeld-sim on a pinned
# pseudo-terminal, driven by control id (qeld-wincontrol): the window starts
# " Disconnected !!!"; Enter connects (exact bytes on the wire, the answer
# acknowledged, "COM1 connected"); a click on Go Loader sends "r" and the
# module's answer opens its box (before it, DISPENSE with CST1 Request 5
# sends its frame: the loader would refuse it); the line monitor shows the
# Go Loader exchange;
# letters in the port selector bring the Korean prompt; EXIT ends it.
# Screenshots go to the output folder.
# Usage: console_wine.sh <qeld-console.exe> <qeld-wincontrol.exe> <qeld-sim> <wine prefix> <output folder>
#                        [<library answering the modem-line ioctls, preloaded into the console>]
set -euo pipefail
console=$(realpath "$1") control=$(realpath "$2") sim=$3 prefix=$(realpath -m "$4") out=$(realpath -m "$5")
modem=${6:-}
here=$(cd "$(dirname "$0")" && pwd)
command -v Xvfb >/dev/null || { echo "Xvfb is needed"; exit 1; }
[ -x "$sim" ] || { echo "no qeld-sim at $sim (build the Linux target first)"; exit 77; }
mkdir -p "$out"

work=$(mktemp -d)
export HOME=$work
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
  wait 2>/dev/null || true
  chattr -i "$work/readonly" 2>/dev/null || true
  chmod -R u+w "$work" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A free display number, told by Xvfb itself.
exec 5>"$work/display"
Xvfb -displayfd 5 -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
export DISPLAY=:$(head -n1 "$work/display")

# The prefix with every COM port pinned away from the machine's own ports.
source "$here/../wine-env.sh" "$prefix" "$(dirname "$prefix")/wine"  # a copy of the serial tests' prefix when there is one
source "$here/wine-fonts.sh"
qeld_wine_fonts
wineserver -p >/dev/null 2>&1
# Wine's serial code asks a pseudo-terminal for its modem lines, which it
# does not have; the fixture library answers for it.
preload=()
[ -n "$modem" ] && [ -f "$modem" ] && preload=(env "LD_PRELOAD=$(realpath "$modem")")

"$sim" --com 1 --fast --verbose >"$work/sim.out" 2>"$work/trace" &
pids+=($!)
for _ in $(seq 100); do grep -q '^COM1 ' "$work/sim.out" && break; sleep 0.05; done
grep -q '^COM1 ' "$work/sim.out" || { echo "qeld-sim did not start"; exit 1; }
mkdir -p "$QELD_WINE_PORTS"
ln -sfn "$(awk '/^COM1 / {print $2}' "$work/sim.out")" "$QELD_WINE_PORTS/com1"

ctl() { wine "$control" "$@"; }
title='QELD Ver 1.15 International ('
shot() { sleep 0.5; import -window root "$out/$1" 2>/dev/null || true; }

rm -rf "$WINEPREFIX"/drive_c/users/*/Documents/QELD
# The console works in a folder nobody may write to, as when unpacked into
# Program Files: root passes file modes, but not an immutable folder.
mkdir "$work/readonly"
if [ "$(id -u)" = 0 ]; then chattr +i "$work/readonly" 2>/dev/null || true; else chmod a-w "$work/readonly"; fi
readonly_cwd=1
touch "$work/readonly/probe" 2>/dev/null && { rm -f "$work/readonly/probe"; readonly_cwd=0; echo "cannot make a read-only folder here: the log file check runs in a writable one"; }
(cd "$work/readonly" && exec "${preload[@]}" wine "$console") 2>"$work/console.err" &
pids+=($!)
console_pid=$!
if ! ctl wait-window "$title" 60 >/dev/null; then
  echo "no console window (console $(kill -0 $console_pid 2>/dev/null && echo running || echo ended))"
  cat "$work/console.err"
  exit 1
fi
ctl wait-text "$title" 1034 " Disconnected !!!"
[ "$(ctl enabled "$title" 1001)" = 0 ] || { echo "DISPENSE enabled while not connected"; exit 1; }
shot windows-start.png

# Everything the console sent (the trace's "<" lines, joined).
sent() { grep '^<' "$work/trace" | cut -c3- | tr '\n' ' ' | sed 's/ $//'; }
wait_sent() {
  for _ in $(seq 200); do
    [ "$(sent)" = "$*" ] && return 0
    sleep 0.05
  done
  echo "expected from the console: $*"; echo "--- trace:"; cat "$work/trace"
  echo "--- status line: $(ctl text "$title" 1034)"; echo "--- console:"; tail -n 20 "$work/console.err"; return 1
}

# Enter = OPEN with COM1 selected: the sequence query, then the ACK of its answer.
ctl key "$title" return
wait_sent "04 30 02 67 03 52 06"
ctl wait-text "$title" 1034 "COM1 connected"
shot console-windows.png

# DISPENSE, CST1 selected, Request 5: R, the four counts as count + 0x20, two
# blanks, the sequence byte (the module's answer to the query, byte 5), ETX, BCC.
[ "$(ctl check "$title" 1043)" = 1 ] || { echo "CST1 is not selected"; exit 1; }
ctl set-text "$title" 1035 5
before=$(sent)
ctl click "$title" 1001
# The module's first line is the ACK of the query and its answer (byte 5, counted from 0).
seq=$(grep '^>' "$work/trace" | head -n1 | cut -c3- | sed 's/^06 //' | awk '{print $6}')
frame=(04 30 02 52 25 20 20 20 20 20 "$seq" 03)
bcc=0
for b in "${frame[@]}"; do bcc=$((bcc ^ 16#$b)); done
expect="${frame[*]} $(printf '%02X' $bcc)"
for _ in $(seq 200); do [[ "$(sent)" == "$before $expect"* ]] && break; sleep 0.05; done
[[ "$(sent)" == "$before $expect"* ]] || { echo "expected the dispense frame $expect"; cat "$work/trace"; exit 1; }
echo "DISPENSE sent: $expect"
# Its answer comes back into the grid and the console is idle again.
ctl wait-text "$title" 1129 5 20
for _ in $(seq 200); do [ "$(ctl enabled "$title" 1001)" = 1 ] && break; sleep 0.05; done

# "Serial ports..." (Help menu, item 0x7F03): COM1 is the console's own, COM9
# has no device behind it; every pinned port is listed, in order.
ctl menu "$title" $((0x7F03))
ctl wait-window "Serial ports" 20 >/dev/null || { echo "no serial ports dialog"; exit 1; }
for _ in $(seq 100); do [ "$(ctl text "Serial ports" 101)" != "Reading the ports..." ] && break; sleep 0.1; done
echo "serial ports: $(ctl text "Serial ports" 101)"
[ "$(ctl rows "Serial ports" 100)" -ge 10 ] || { echo "the port list shows $(ctl rows "Serial ports" 100) rows"; exit 1; }
[ "$(ctl cell "Serial ports" 100 0 0)" = COM1 ] || { echo "the first port is $(ctl cell "Serial ports" 100 0 0)"; exit 1; }
[ "$(ctl cell "Serial ports" 100 0 1)" = "in use by this console" ] ||
  { echo "COM1 reads: $(ctl cell "Serial ports" 100 0 1)"; exit 1; }
[ "$(ctl cell "Serial ports" 100 8 0) $(ctl cell "Serial ports" 100 8 1)" = "COM9 no device behind it" ] ||
  { echo "the ninth port reads: $(ctl cell "Serial ports" 100 8 0) $(ctl cell "Serial ports" 100 8 1)"; exit 1; }
shot windows-serial-ports.png
ctl close "Serial ports"
ctl wait-gone "Serial ports" 10

# Log data: the file cannot go to the working folder; it goes to
# Documents\QELD, and the MessageArea says so.
ctl click "$title" 1019
ctl wait-window "QELD TP" 30 >/dev/null || { echo "no answer to Log data"; exit 1; }
[ "$(ctl text "QELD TP" 65535)" = "Log data is written." ] || { echo "Log data box: $(ctl text "QELD TP" 65535)"; exit 1; }
ctl close "QELD TP"
ctl wait-gone "QELD TP" 10
logs=$(find "$WINEPREFIX/drive_c/users" -path '*/Documents/QELD/*.txt' -newer "$work/sim.out" 2>/dev/null)
if [ "$readonly_cwd" = 1 ]; then
  [ "$(printf '%s\n' "$logs" | grep -c .)" = 1 ] || { echo "log files in Documents\\QELD: ${logs:-none}"; exit 1; }
  grep -q -- '---END' "$logs" || { echo "the log file lacks its end marker"; exit 1; }
  area=$(ctl text "$title" 1033)
  grep -qF 'Log files go to ' <<<"$area" && grep -qF 'Documents\QELD: the working folder ' <<<"$area" &&
    grep -qF 'cannot be written' <<<"$area" || { echo "the MessageArea does not say where the log went: $area"; exit 1; }
  echo "log file: $(basename "$logs") in Documents\\QELD; MessageArea: $(grep -F 'Log files go to' <<<"$area" | tr -d '\r')"
fi

# The line monitor (Help menu, item 0x7F01) records from its opening on.
ctl menu "$title" $((0x7F01))
ctl wait-window "Line monitor" 20 >/dev/null || { echo "no line monitor"; exit 1; }

# Go Loader: "r", the ACK of its answer, and the answer's box.
before=$(sent)
ctl click "$title" 1170
wait_sent "$before 04 30 02 72 03 47 06"
ctl wait-window "QELD TP" 30 >/dev/null || { echo "no answer box"; exit 1; }
echo "Go Loader box: $(ctl text "QELD TP" 65535)"
shot windows-go-loader.png
ctl close "QELD TP"
ctl wait-gone "QELD TP" 10
# The monitor's list shows the four rows: "r", ACK, the answer, ACK.
for _ in $(seq 100); do [ "$(ctl rows "Line monitor" 100)" = 4 ] && break; sleep 0.1; done
[ "$(ctl rows "Line monitor" 100)" = 4 ] || { echo "the line monitor shows $(ctl rows "Line monitor" 100) rows, not 4"; exit 1; }
shot windows-line-monitor.png
ctl menu "$title" $((0x7F01))
ctl wait-gone "Line monitor" 10

# Letters in the port selector: OPEN brings the framework's Korean prompt.
ctl set-text "$title" 2000 abc
ctl click "$title" 1
ctl wait-window "QELD TP" 30 >/dev/null || { echo "no prompt box"; exit 1; }
prompt=$(ctl text "QELD TP" 65535)
[ "$prompt" = "양의 정수를 입력하십시오." ] || { echo "prompt reads: $prompt"; exit 1; }
shot console-windows-prompt.png
ctl close "QELD TP"
ctl wait-gone "QELD TP" 10
ctl wait-text "$title" 2000 1

# EXIT ends the program.
ctl click "$title" 2
ctl wait-gone "$title" 20 || { echo "the console did not end"; exit 1; }
for _ in $(seq 300); do kill -0 $console_pid 2>/dev/null || break; sleep 0.1; done
if kill -0 $console_pid 2>/dev/null; then
  echo "the console's process did not end"; ps -o pid,stat,wchan:20,args --ppid $console_pid -p $console_pid || true
  exit 1
fi
echo "wine console: OK"
