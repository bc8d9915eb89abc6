#!/usr/bin/env bash
# Runs a Windows test program under Wine on a private Xvfb display, in the
# window tests' prefix.
# Usage: xvfb_wine.sh <wine prefix> <program.exe> [arguments]
set -euo pipefail
prefix=$(realpath -m "$1")
shift
here=$(cd "$(dirname "$0")" && pwd)
command -v Xvfb >/dev/null || { echo "Xvfb is needed"; exit 1; }
work=$(mktemp -d)
xvfb=
cleanup() {
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  wineserver -k 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
exec 5>"$work/display"
Xvfb -displayfd 5 -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
export DISPLAY=:$(head -n1 "$work/display")
source "$here/../wine-env.sh" "$prefix" "$(dirname "$prefix")/wine"
source "$here/wine-fonts.sh"
qeld_wine_fonts
wine "$@"
