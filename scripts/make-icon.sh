#!/usr/bin/env bash
# Regenerates data/qeld-console.ico (the Windows exe's icon) from the drawing
# of data/io.github.qeld.Console.svg, redrawn here with ImageMagick's own
# vector commands (its SVG reader needs a delegate Debian's build lacks).
# Usage: scripts/make-icon.sh [output.ico]
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-data/qeld-console.ico}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
sizes=(16 24 32 48 64 256)
pngs=()
for s in "${sizes[@]}"; do
  # The drawing is on a 32-unit grid; the rectangles' corners are x, y and x+w, y+h.
  convert -size "${s}x${s}" xc:none -draw "
    affine $(bc -l <<<"$s/32"),0,0,$(bc -l <<<"$s/32"),0,0
    stroke '#1f451c' stroke-width 1.2
    fill '#3f7d3a' roundrectangle 5.5,15.5 30.5,28.5 1.5,1.5
    fill '#55964f' roundrectangle 3.5,11.5 28.5,24.5 1.5,1.5
    fill '#79b86c' roundrectangle 1.5,7.5 26.5,20.5 1.5,1.5
    fill none stroke '#e8f5e0' stroke-width 0.9 roundrectangle 3.5,9.5 24.5,18.5 1,1
    fill '#e8f5e0' stroke '#1f451c' stroke-width 0.8 circle 14,14 17.6,14
    fill '#3f7d3a' stroke none circle 14,14 15.6,14" "PNG32:$tmp/$s.png"
  pngs+=("$tmp/$s.png")
done
convert "${pngs[@]}" "$out"
echo "$out"
