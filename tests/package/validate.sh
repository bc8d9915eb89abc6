#!/usr/bin/env bash
# Validates the desktop entry or the AppStream metadata with the desktop's own
# validator; exits 77 (skipped) when that validator is not installed.
# Usage: validate.sh desktop|metainfo <file>
set -euo pipefail
kind=$1 file=$2
case $kind in
  desktop) cmd=(desktop-file-validate "$file") package=desktop-file-utils ;;
  metainfo) cmd=(appstreamcli validate --no-net "$file") package=appstream ;;
  *) echo "unknown kind $kind"; exit 2 ;;
esac
if ! command -v "${cmd[0]}" >/dev/null; then
  echo "SKIPPED: ${cmd[0]} is not installed (Debian package $package)"
  exit 77
fi
out=$("${cmd[@]}" 2>&1) || { echo "$out"; exit 1; }
[ -z "$out" ] || echo "$out"
# desktop-file-validate reports warnings and hints yet exits 0: any output fails.
if [ "$kind" = desktop ] && [ -n "$out" ]; then exit 1; fi
echo "${cmd[0]}: $file is valid"
