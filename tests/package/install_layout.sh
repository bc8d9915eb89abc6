#!/usr/bin/env bash
# `cmake --install` puts every file in its place, and the names that tie them
# together agree: the desktop entry runs an installed program and names the
# installed icon, and the AppStream file carries the entry's id and launches it.
# Usage: install_layout.sh <build folder> <desktop id>
set -euo pipefail
build=$1 id=$2
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null
usr=$root/usr
fail=0
problem() { echo "FAIL: $*"; fail=1; }

for f in bin/qeld-console bin/qeld-sim bin/qeld-run; do
  [ -x "$usr/$f" ] || problem "$f is missing or not executable"
done
desktop=$usr/share/applications/$id.desktop
metainfo=$usr/share/metainfo/$id.metainfo.xml
icon=$usr/share/icons/hicolor/scalable/apps/$id.svg
for f in "$desktop" "$metainfo" "$icon" "$usr/share/man/man1/qeld-console.1" "$usr/share/man/man1/qeld-sim.1" \
         "$usr/share/man/man1/qeld-run.1" \
         "$usr/share/doc/qeld-console/copyright"; do
  [ -s "$f" ] || problem "${f#"$root"} is missing or empty"
done
((fail == 0)) || exit 1

key() { sed -n "s/^$1=//p" "$desktop"; }
exec_cmd=$(key Exec | cut -d' ' -f1)
[ -x "$usr/bin/$exec_cmd" ] || problem "Exec=$exec_cmd is not an installed program"
[ "$(key Icon)" = "$id" ] || problem "Icon=$(key Icon), the installed icon is $id"
grep -q "<id>$id</id>" "$metainfo" || problem "the AppStream id is not $id"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" ||
  problem "the AppStream file does not launch $id.desktop"
grep -q '<svg' "$icon" || problem "the icon is not an SVG drawing"
# The simulator's manual page is made from its --help: every line is in it.
while IFS= read -r line; do
  grep -qxF -- "$line" "$usr/share/man/man1/qeld-sim.1" || problem "qeld-sim.1 lacks: $line"
done < <("$usr/bin/qeld-sim" --help | grep -v '^$')
# The validators look at the installed tree as a software centre would.
if command -v appstreamcli >/dev/null; then
  appstreamcli validate-tree --no-net "$root" || problem "appstreamcli validate-tree"
fi
((fail == 0)) && echo "install layout: OK"
