#!/usr/bin/env bash
# `cpack -G DEB` builds a package that declares what the console needs on a
# plain Debian system (Qt, the C++ runtime, fonts) and holds every installed
# file: the programs, their manual pages, the manual with its pictures, the
# example scripts and the images they send. Exits 77 (skipped) without the Debian packaging tools.
# Usage: deb_package.sh <build folder> <desktop id> <source folder>
set -euo pipefail
build=$1 id=$2 src=$3
for tool in dpkg-deb dpkg-shlibdeps; do
  command -v $tool >/dev/null || { echo "SKIPPED: $tool is not installed (Debian package dpkg-dev)"; exit 77; }
done
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || { cat "$out/cpack.log"; exit 1; }
debs=("$out"/qeld-console_*.deb)
[ -f "${debs[0]}" ] || { echo "FAIL: no qeld-console_*.deb"; ls "$out"; exit 1; }
deb=${debs[0]}
fail=0
problem() { echo "FAIL: $*"; fail=1; }

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
# Package names alone, alternatives included, one a line.
names=$(tr ',|' '\n\n' <<<"$depends" | awk '{print $1}')
for p in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6 fonts-noto-cjk fonts-liberation2; do
  grep -qxF "$p" <<<"$names" || problem "Depends lacks $p"
done
for field in Package Version Architecture Maintainer Section Description; do
  [ -n "$(dpkg-deb -f "$deb" $field)" ] || problem "no $field"
done
files=$(dpkg-deb -c "$deb" | awk '{print $6}')
doc=./usr/share/doc/qeld-console
for f in ./usr/bin/qeld-console ./usr/bin/qeld-sim ./usr/bin/qeld-run ./usr/share/applications/$id.desktop \
         ./usr/share/icons/hicolor/scalable/apps/$id.svg ./usr/share/metainfo/$id.metainfo.xml \
         ./usr/share/man/man1/qeld-console.1.gz ./usr/share/man/man1/qeld-sim.1.gz \
         ./usr/share/man/man1/qeld-run.1.gz $doc/copyright $doc/README.md \
         $doc/examples/service-check.qeld $doc/examples/soak-200.qeld $doc/examples/firmware-update.qeld; do
  grep -qxF "$f" <<<"$files" || problem "the package lacks $f"
done
# The manual's pictures, and every image an example sends, are in the package too.
while read -r picture; do
  grep -qxF "$doc/$picture" <<<"$files" || problem "the package lacks $doc/$picture, shown in README.md"
done < <(grep -o '](docs/[^)]*)' "$src/README.md" | sed 's/^](//; s/)$//')
while read -r image; do
  grep -qxF "$doc/examples/$image" <<<"$files" || problem "the package lacks $doc/examples/$image, sent by an example"
done < <(grep -ho 'file=[^ ]*' "$src"/examples/*.qeld | cut -d= -f2)
((fail == 0)) && echo "$(basename "$deb"): OK"
