#!/usr/bin/env bash
# The portable package: `cpack -G ZIP` in the Windows build folder, unpacked
# into a fresh folder, holds the exe, qeld-run.exe with its example scripts
# and the script grammar, the README and the licence; the README and
# qeld-run.exe --help tell Windows' port names and how to give the password
# in cmd and PowerShell; and the exe
# starts from there under Wine (" Disconnected !!!"), takes the admin password
# in its prompt, shows its about box and ends with EXIT.
# Where makensis is installed, `cpack -G NSIS` builds the installer too, with
# a Start-menu entry.
# Usage: package_wine.sh <Windows build folder> <qeld-wincontrol.exe> <wine prefix>
set -euo pipefail
build=$(realpath "$1") control=$(realpath "$2") prefix=$(realpath -m "$3")
here=$(cd "$(dirname "$0")" && pwd)
command -v Xvfb >/dev/null || { echo "Xvfb is needed"; exit 1; }

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

(cd "$build" && cpack -G ZIP -B "$work/packages" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
zip=$(ls "$work"/packages/qeld-console-*-win64.zip)
echo "package: $(basename "$zip") ($(stat -c %s "$zip") bytes)"
mkdir "$work/unpacked"
(cd "$work/unpacked" && cmake -E tar xf "$zip")
dir=$work/unpacked/$(basename "$zip" .zip)
for f in qeld-console.exe qeld-run.exe README.txt LICENSE.txt SCRIPTS.txt examples/service-check.qeld; do
  [ -f "$dir/$f" ] || { echo "the package lacks $f"; ls -R "$work/unpacked"; exit 1; }
done
[ "$(ls "$dir" | wc -l)" = 6 ] || { echo "unexpected files in the package:"; ls "$dir"; exit 1; }
[ ! -e "$dir/examples/training.hex" ] || { echo "the package holds the simulator's training image"; exit 1; }
grep -q "Device Manager" "$dir/README.txt" || { echo "the README does not say how to find the COM port"; exit 1; }
# What a technician needs for qeld-run on Windows: the port's name, the
# password in both shells, and where the grammar is.
for text in '\\.\COMN' 'set "QELD_ADMIN_PASSWORD=' '$env:QELD_ADMIN_PASSWORD' SCRIPTS.txt; do
  grep -qF "$text" "$dir/README.txt" || { echo "README.txt does not say $text"; exit 1; }
done
# The grammar: the manual's section, every step's row with it.
grep -q '^## Service scripts' "$dir/SCRIPTS.txt" && grep -q '^| `write-prog file=' "$dir/SCRIPTS.txt" &&
  ! grep -q '^## Troubleshooting' "$dir/SCRIPTS.txt" || { echo "SCRIPTS.txt is not the grammar section"; exit 1; }
# Windows' Notepad of old wants CR LF.
for f in README.txt SCRIPTS.txt; do
  grep -q $'\r$' "$dir/$f" || { echo "$f has no CR LF line ends"; exit 1; }
done

exec 5>"$work/display"
Xvfb -displayfd 5 -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
export DISPLAY=:$(head -n1 "$work/display")
source "$here/../wine-env.sh" "$prefix" "$(dirname "$prefix")/wine"  # a copy of the serial tests' prefix when there is one
source "$here/wine-fonts.sh"
qeld_wine_fonts
wineserver -p >/dev/null 2>&1

ctl() { wine "$control" "$@"; }
title='QELD Ver 1.15 International ('
start_and_exit() {
  local exe=$1
  (cd "$(dirname "$exe")" && exec wine "$exe") 2>"$work/console.err" &
  local pid=$!
  pids+=($pid)
  ctl wait-window "$title" 60 >/dev/null || { echo "no window from $exe"; cat "$work/console.err"; exit 1; }
  ctl wait-text "$title" 1034 " Disconnected !!!"
  if [ "${2:-}" = dialogs ]; then
    # "*Admin mode": the password prompt (Enter confirms), then the console's answer.
    ctl click "$title" 9999
    ctl wait-window "Enter Password" 20 >/dev/null || { echo "no password dialog"; exit 1; }
    ctl set-text "Enter Password" 1033 tuzf
    ctl key "Enter Password" return
    ctl wait-window "QELD TP" 20 >/dev/null || { echo "no answer to the password"; exit 1; }
    [ "$(ctl text "QELD TP" 65535)" = "  Admin mode started. " ] || { echo "password box: $(ctl text "QELD TP" 65535)"; exit 1; }
    ctl close "QELD TP"
    ctl wait-gone "QELD TP" 10
    # The about box from the Help menu (item 0x7F02).
    ctl menu "$title" $((0x7F02))
    ctl wait-window "About QELD TP" 20 >/dev/null || { echo "no about box"; exit 1; }
    ctl close "About QELD TP"
    ctl wait-gone "About QELD TP" 10
  fi
  ctl click "$title" 2
  ctl wait-gone "$title" 20 || { echo "EXIT did not end $exe"; exit 1; }
  for _ in $(seq 100); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
  ! kill -0 $pid 2>/dev/null || { echo "$exe did not end"; exit 1; }
}
start_and_exit "$dir/qeld-console.exe" dialogs
echo "the unpacked exe starts, shows its dialogs and ends"
# qeld-run.exe checks the shipped service script (CR LF line ends) without a module.
(cd "$dir" && wine qeld-run.exe --check 'examples\service-check.qeld') >"$work/run.out" 2>&1 ||
  { echo "qeld-run.exe --check failed on its own example"; cat "$work/run.out"; exit 1; }
echo "the unpacked qeld-run.exe checks its example script"
# Its help names Windows' ports and the password's two shells, not the Linux ones.
(cd "$dir" && wine qeld-run.exe --help) >"$work/help.out" 2>&1 || { echo "qeld-run.exe --help failed"; exit 1; }
for text in '\\.\COMN' 'set "QELD_ADMIN_PASSWORD=' '$env:QELD_ADMIN_PASSWORD' SCRIPTS.txt; do
  grep -qF "$text" "$work/help.out" || { echo "qeld-run.exe --help does not say $text"; cat "$work/help.out"; exit 1; }
done
! grep -qE 'dosdevices|/dev/tty' "$work/help.out" || { echo "qeld-run.exe --help names Linux devices"; exit 1; }
echo "qeld-run.exe --help tells Windows' port names and how to give the password"

if command -v makensis >/dev/null; then
  (cd "$build" && cpack -G NSIS -B "$work/packages" >"$work/cpack-nsis.log" 2>&1) || { cat "$work/cpack-nsis.log"; exit 1; }
  installer=$(ls "$work"/packages/qeld-console-*-win64.exe)
  echo "installer: $(basename "$installer") ($(stat -c %s "$installer") bytes)"
  # NSIS makes a 32-bit installer, which Debian's 64-bit-only Wine cannot
  # run; the script it was built from must make the Start-menu entry.
  nsi=$(find "$work/packages/_CPack_Packages" -name project.nsi | head -n1)
  grep -qF "CreateShortCut '\$SMPROGRAMS\\\$STARTMENU_FOLDER\\QELD Console.lnk' '\$INSTDIR\\qeld-console.exe'" "$nsi" ||
    { echo "no Start-menu entry for the exe in the installer"; grep -n CreateShortCut "$nsi"; exit 1; }
  # ...started in a folder an ordinary user may write log files to.
  grep -B2 -F "QELD Console.lnk' '\$INSTDIR" "$nsi" | grep -qF "SetOutPath '\$DOCUMENTS'" ||
    { echo "the Start-menu entry starts in the installation folder"; exit 1; }
  echo "the installer has its Start-menu entry"
fi
echo "package: OK"
