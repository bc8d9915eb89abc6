#!/usr/bin/env bash
# `cmake --install` puts every file in its place, and the names that tie them
# together agree: the desktop entry runs an installed program and names the
# installed icon, the AppStream file carries the entry's id, launches it and
# provides every installed program, the manual pages point to the installed
# manual, and the README's install table names every installed file.
# Usage: install_layout.sh <build folder> <desktop id> <source folder>
set -euo pipefail
build=$1 id=$2 src=$3
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
man=$usr/share/man/man1
doc=$usr/share/doc/qeld-console
for f in "$desktop" "$metainfo" "$icon" "$man/qeld-console.1.gz" "$man/qeld-sim.1.gz" \
         "$man/qeld-run.1.gz" "$doc/copyright" "$doc/README.md" "$doc/examples/firmware-update.qeld"; do
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
for program in "$usr"/bin/*; do
  grep -q "<binary>$(basename "$program")</binary>" "$metainfo" ||
    problem "the AppStream file does not provide $(basename "$program")"
done
for page in "$man"/*.1.gz; do
  gzip -dc "$page" | grep -q '/usr/share/doc/qeld\\\?-console/' || problem "${page#"$root"} does not point to the manual"
done
# The README's install table: each file by its path, in a row naming its
# folder's first file, or under a folder the table names whole.
table=$(grep '^| `/usr/' "$src/README.md")
while IFS= read -r f; do
  rel=${f#"$root"}
  grep -qF "\`$rel\`" <<<"$table" && continue
  grep -F "\`$(dirname "$rel")/" <<<"$table" | grep -qF "\`$(basename "$rel")\`" && continue
  d=$(dirname "$rel") listed=0
  while [ "$d" != / ]; do
    grep -qF "\`$d/\`" <<<"$table" && { listed=1; break; }
    d=$(dirname "$d")
  done
  ((listed)) || problem "the README's install table does not name $rel"
done < <(find "$usr" \( -type f -o -type l \))
# Manual pages are compressed as Debian has them: gzip -9 without a name or
# time stamp inside, so two builds give the same bytes.
for page in "$man"/*.1*; do
  case $page in *.gz) ;; *) problem "${page#"$root"} is not compressed" ;; esac
done
for page in "$man"/*.1.gz; do
  gzip -t "$page" || problem "${page#"$root"} is not gzip"
  # Bytes 4..7 of a gzip header: the flags (FNAME 0x08) and the time stamp.
  [ "$(od -An -tx1 -j3 -N5 "$page" | tr -d ' ')" = "0000000000" ] ||
    problem "${page#"$root"} carries a name or a time stamp"
done
sim_man=$(mktemp)
trap 'rm -rf "$root" "$sim_man"' EXIT
gzip -dc "$man/qeld-sim.1.gz" >"$sim_man"
# The simulator's manual page is made from its --help: every line is in it
# (the usage line is its SYNOPSIS); its footer names qeld-sim and its
# DESCRIPTION is prose, not the usage line.
while IFS= read -r line; do
  grep -qxF -- "$line" "$sim_man" || problem "qeld-sim.1 lacks: $line"
done < <("$usr/bin/qeld-sim" --help | grep -v '^$' | grep -v '^Usage: ')
version=$("$usr/bin/qeld-sim" --version)
[[ $version =~ ^qeld-sim\ [0-9]+\.[0-9]+ ]] || problem "qeld-sim --version printed: $version"
grep -q "^\.TH QELD-SIM 1 \"\" \"$version\" " "$sim_man" || problem "the footer does not name \"$version\": $(head -n1 "$sim_man")"
desc=$(sed -n '/^\.SH DESCRIPTION/,/^\.nf/p' "$sim_man")
grep -q '^Stands in for' <<<"$desc" || problem "DESCRIPTION does not start with the prose"
grep -q 'Usage:' <<<"$desc" && problem "DESCRIPTION holds the usage line"
grep -qx '\.nf' <<<"$(sed -n '/^\.SH DESCRIPTION/,/^Stands in for/p' "$sim_man")" && problem "DESCRIPTION is not filled text"
# The validators look at the installed tree as a software centre would.
if command -v appstreamcli >/dev/null; then
  appstreamcli validate-tree --no-net "$root" || problem "appstreamcli validate-tree"
fi
((fail == 0)) && echo "install layout: OK"
