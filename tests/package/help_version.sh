#!/usr/bin/env bash
# --help and --version of every installed program print on standard output
# and end at once, without a display: the console opens no window and loads
# no Qt platform plugin for them.
# Usage: help_version.sh <program>...
set -euo pipefail
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
out=$tmp/out err=$tmp/err
fail=0
problem() { echo "FAIL: $*"; fail=1; }
for program in "$@"; do
  name=$(basename "$program")
  for option in --version --help; do
    status=0
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM timeout 10 "$program" $option >$out 2>$err </dev/null ||
      status=$?
    ((status == 0)) || problem "$name $option ended with status $status: $(cat $err)"
    [ ! -s $err ] || problem "$name $option wrote to standard error: $(cat $err)"
    case $option in
      --version) grep -qxE "$name [0-9]+\.[0-9]+" $out || problem "$name --version printed: $(cat $out)" ;;
      --help) head -n1 $out | grep -q "^Usage: $name" || problem "$name --help printed: $(head -n3 $out)" ;;
    esac
  done
done
((fail == 0)) && echo "--help and --version: OK"
