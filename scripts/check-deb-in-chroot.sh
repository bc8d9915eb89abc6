#!/usr/bin/env bash
# Installs the .deb that cpack built into a clean Debian 12 root (debootstrap,
# no container) the way a technician would, with apt-get install ./qeld-*.deb,
# then starts qeld-sim and qeld-console from it as an ordinary user under Xvfb
# and checks that the window appears and that Enter connects to the simulator.
#
# Heavy: it needs root, debootstrap and the Debian mirror, and takes minutes,
# so it is not part of the tests. The minimal Debian root is made once and
# kept in <cache>/base; every run installs into a fresh copy of it.
#
# Usage: sudo bash scripts/check-deb-in-chroot.sh <qeld-console_*.deb> [cache folder]
set -euo pipefail
deb=$(realpath "$1")
cache=$(realpath -m "${2:-/var/tmp/qeld-deb-check}")
[ "$(id -u)" = 0 ] || { echo "run as root"; exit 1; }
command -v debootstrap >/dev/null || { echo "needs debootstrap (apt-get install debootstrap)"; exit 1; }
[ -f "$deb" ] || { echo "no such file: $deb"; exit 1; }

# The same mirror as the host's apt, or Debian's own.
mirror=${MIRROR:-$( (grep -hoE 'https?://[^ ]*/debian/?( |$)' /etc/apt/sources.list /etc/apt/sources.list.d/* 2>/dev/null || true) |
                   head -n1 | tr -d ' ')}
mirror=${mirror:-http://deb.debian.org/debian}

base=$cache/base
if [ ! -f "$base/etc/debian_version" ]; then
  echo "== debootstrap bookworm from $mirror into $base"
  rm -rf "$base"
  debootstrap --variant=minbase bookworm "$base" "$mirror"
fi

root=$cache/run
mounts=()
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do umount -l "${mounts[i]}" 2>/dev/null || true; done
}
trap cleanup EXIT
trap 'echo "FAIL: line $LINENO: $BASH_COMMAND"' ERR

echo "== fresh copy of the Debian 12 root: $root"
rm -rf "$root"
cp -a "$base" "$root"
cp /etc/resolv.conf "$root/etc/resolv.conf"
for m in proc sys dev dev/pts; do
  case $m in
    proc) mount -t proc proc "$root/proc" ;;
    sys) mount -t sysfs sys "$root/sys" ;;
    dev) mount --bind /dev "$root/dev" ;;
    dev/pts) mount --bind /dev/pts "$root/dev/pts" ;;
  esac
  mounts+=("$root/$m")
done
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"; }

echo "== apt-get install ./$(basename "$deb")"
cp "$deb" "$root/tmp/"
in_root apt-get update -qq
if ! in_root sh -c "cd /tmp && apt-get install -y -q ./$(basename "$deb")" >"$cache/apt-install.log" 2>&1; then
  cat "$cache/apt-install.log"; echo "FAIL: apt-get install"; exit 1
fi
grep -E 'newly installed|^Setting up qeld-console' "$cache/apt-install.log"
in_root dpkg -s qeld-console | grep -E '^(Status|Version|Depends):'
missing=$(in_root sh -c 'ldd /usr/bin/qeld-console /usr/bin/qeld-sim | grep "not found" || true')
[ -z "$missing" ] || { echo "FAIL: libraries missing: $missing"; exit 1; }
for f in /usr/share/applications/io.github.qeld.Console.desktop \
         /usr/share/icons/hicolor/scalable/apps/io.github.qeld.Console.svg \
         /usr/share/metainfo/io.github.qeld.Console.metainfo.xml; do
  [ -s "$root$f" ] || { echo "FAIL: $f not installed"; exit 1; }
done

# Only now the tools of the check itself, so the package alone had to bring
# everything the console needs.
echo "== the check's own tools: Xvfb, xdotool, xwd"
in_root apt-get install -y -q --no-install-recommends xvfb xauth xdotool x11-apps >/dev/null

in_root useradd -m -s /bin/bash tech
display=
as_tech() { chroot "$root" env -i PATH=/usr/bin:/bin HOME=/home/tech USER=tech LANG=C.UTF-8 DISPLAY=$display \
              setpriv --reuid=tech --regid=tech --init-groups "$@"; }
# In the background, as the shell's own child: chroot, setpriv and the
# program are one process, so its pid is the one to stop.
as_tech_bg() {
  local out=$1
  shift
  chroot "$root" env -i PATH=/usr/bin:/bin HOME=/home/tech USER=tech LANG=C.UTF-8 DISPLAY=$display \
    setpriv --reuid=tech --regid=tech --init-groups "$@" >"$root/tmp/$out.out" 2>"$root/tmp/$out.err" &
  pids+=($!)
}

echo "== Xvfb, qeld-sim --com 1, qeld-console as user tech"
# A free display number, told by Xvfb itself (the X sockets are shared with
# the host, so a fixed number may be taken).
exec 5>"$root/tmp/display"
as_tech_bg xvfb Xvfb -displayfd 5 -screen 0 1280x1024x24 -nolisten tcp
exec 5>&-
for _ in $(seq 100); do [ -s "$root/tmp/display" ] && break; sleep 0.1; done
display=:$(head -n1 "$root/tmp/display")
[ "$display" != : ] || { echo "FAIL: Xvfb did not start"; cat "$root/tmp/xvfb.err"; exit 1; }
as_tech_bg sim qeld-sim --com 1 --fast --verbose
for _ in $(seq 100); do grep -q '^COM1 ' "$root/tmp/sim.out" && break; sleep 0.1; done
grep '^COM1 ' "$root/tmp/sim.out" || { echo "FAIL: qeld-sim did not start"; cat "$root/tmp/sim.err"; exit 1; }
as_tech_bg console qeld-console
console=${pids[-1]}

win=$(as_tech timeout 30 xdotool search --sync --onlyvisible --name '^QELD Ver 1\.15 International \(' | head -n1 || true)
[ -n "$win" ] || { echo "FAIL: no console window"; cat "$root/tmp/console.err"; exit 1; }
echo "window: $(as_tech xdotool getwindowname "$win")"
sent() { (grep '^<' "$root/tmp/sim.err" || true) | cut -c3- | tr '\n' ' '; }
# Enter is OPEN. A key that reaches the window before Qt takes input is lost:
# press again until the console has sent anything.
for _ in $(seq 5); do
  as_tech xdotool key --window "$win" Return
  for _ in $(seq 30); do [ -n "$(sent)" ] && break 2; sleep 0.1; done
done
# The sequence query, then the ACK of the module's answer.
for _ in $(seq 100); do [[ "$(sent)" == *"04 30 02 67 03 52 06 "* ]] && break; sleep 0.1; done
[[ "$(sent)" == *"04 30 02 67 03 52 06 "* ]] || { echo "FAIL: the console sent: $(sent)"; exit 1; }
echo "Enter connected: the console sent $(sent)"
sleep 3
kill -0 "$console" || { echo "FAIL: the console ended"; cat "$root/tmp/console.err"; exit 1; }
as_tech xwd -root -silent >"$cache/chroot-console.xwd"
if command -v convert >/dev/null; then
  convert "$cache/chroot-console.xwd" "$cache/chroot-console.png" && echo "screenshot: $cache/chroot-console.png"
fi
echo "console output:"; cat "$root/tmp/console.err"
echo "OK: $(basename "$deb") installs in a clean Debian 12 root and qeld-console starts from it"
