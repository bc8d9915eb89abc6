#!/usr/bin/env bash
# The portable package: `cpack -G ZIP` in the Windows build folder, unpacked
# into a fresh folder, holds the exe, qeld-run.exe with its example scripts
# and the script grammar, the README and the licence; the README and
# qeld-run.exe --help tell Windows' port names and how to give the password
# in cmd and PowerShell; and the exe
# starts from there under Wine (" Disconnected !!!"), takes the admin password
# in its prompt, shows its about box and ends with EXIT.
# Where makensis is installed, `cpack -G NSIS` builds the installer too: it
# installs silently, with its Start-menu entry (which starts the console) and
# its uninstall entry, and uninstalls silently leaving nothing behind.
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

# The installer: 64-bit (Debian's Wine runs nothing else), installed and
# removed silently as a deployment tool would.
if command -v makensis >/dev/null; then
  (cd "$build" && cpack -G NSIS -B "$work/packages" >"$work/cpack-nsis.log" 2>&1) || { cat "$work/cpack-nsis.log"; exit 1; }
  installer=$(ls "$work"/packages/qeld-console-*-win64.exe)
  echo "installer: $(basename "$installer") ($(stat -c %s "$installer") bytes)"
  [ "$(od -An -tx1 -j$(( $(od -An -tu4 -j60 -N4 "$installer") + 24 )) -N2 "$installer" | tr -d ' ')" = 0b02 ] ||
    { echo "the installer is not a 64-bit program"; exit 1; }
  wine "$installer" /S >"$work/install.log" 2>&1 || { echo "the silent install failed"; cat "$work/install.log"; exit 1; }
  instdir=$(winepath -u 'C:\Program Files\QELD Console' 2>/dev/null)
  for f in qeld-console.exe qeld-run.exe README.txt LICENSE.txt examples/service-check.qeld Uninstall.exe; do
    [ -f "$instdir/$f" ] || { echo "the installation lacks $f"; ls -R "$instdir" 2>&1; exit 1; }
  done
  links() { find "$WINEPREFIX/drive_c" -path '*/Start Menu/*' -name "$1" 2>/dev/null; }
  lnk=$(links 'QELD Console.lnk')
  [ "$(printf '%s\n' "$lnk" | grep -c .)" = 1 ] || { echo "Start-menu entries for the console: ${lnk:-none}"; exit 1; }
  uninstall_key='Software\Microsoft\Windows\CurrentVersion\Uninstall\QELD Console'
  # A key's name and values, from either root; nothing for a key that is not there.
  keys() { for root in HKLM HKCU; do wine reg query "$root\\$1" 2>/dev/null | tr -d '\r' | grep -E '^HKEY_|REG_' || true; done; }
  entry=$(keys "$uninstall_key")
  grep -q 'UninstallString.*Uninstall.exe' <<<"$entry" || { echo "no uninstall entry in the registry"; exit 1; }
  grep -q 'DisplayName.*QELD Console 1\.15' <<<"$entry" || { echo "the uninstall entry has no name: $entry"; exit 1; }
  echo "installed: $instdir, the Start-menu entry, the uninstall entry"
  # The installed console, started as the Start menu starts it.
  wine start /unix "$lnk" 2>"$work/console.err"
  ctl wait-window "$title" 60 >/dev/null || { echo "no window from the Start-menu entry"; cat "$work/console.err"; exit 1; }
  ctl wait-text "$title" 1034 " Disconnected !!!"
  ctl click "$title" 2
  ctl wait-gone "$title" 20 || { echo "EXIT did not end the installed console"; exit 1; }
  echo "the installed console starts from its Start-menu entry"
  # The uninstaller copies itself elsewhere and returns at once: its work is
  # awaited by what it removes.
  wine "$instdir/Uninstall.exe" /S >"$work/uninstall.log" 2>&1 || { echo "the silent uninstall failed"; exit 1; }
  for _ in $(seq 600); do [ -e "$instdir" ] || break; sleep 0.1; done
  [ ! -e "$instdir" ] || { echo "left behind in the installation folder:"; ls -R "$instdir"; exit 1; }
  left=$(links '*QELD Console*')
  [ -z "$left" ] || { echo "left behind in the Start menu: $left"; exit 1; }
  [ -z "$(keys "$uninstall_key")" ] || { echo "the uninstall entry is left behind"; exit 1; }
  [ -z "$(keys 'Software\QELD console developers')" ] || { echo "the vendor's key is left behind"; exit 1; }
  echo "the silent uninstall leaves nothing behind"
fi
echo "package: OK"
