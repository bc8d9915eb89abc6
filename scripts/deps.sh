#!/usr/bin/env bash
# Installs what the console needs to build, run and test, on Debian 12, as root
# (clang and its sanitizer and fuzzer runtimes for the CI's extra stages).
set -euo pipefail
# desktop-file-utils and appstream validate the desktop files; dpkg-dev and
# file let cpack work out the package's dependencies.
packages=(build-essential cmake pkg-config qt6-base-dev libgtest-dev libgmock-dev
          xvfb xauth x11-utils xdotool fonts-noto-cjk fonts-liberation2 fonts-dejavu-core binutils
          desktop-file-utils appstream dpkg-dev file
          clang libclang-rt-14-dev llvm
          # The Windows build: MinGW-w64 (posix threads), Wine to run its tests,
          # GoogleTest's sources to build for it.
          g++-mingw-w64-x86-64-posix wine64 wine googletest)
# The Windows window's tests and packages: Wine's own Tahoma (the face its
# layout is made for) and NSIS for the installer.
packages+=(fonts-wine nsis)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
