#!/usr/bin/env bash
# Installs the Debian packages that building and testing zentrix need.
# Quick when everything is there already; run as root on a fresh machine.
# ZENTRIX_WIN64=1 adds the 64-bit Windows cross compiler, ZENTRIX_WINE=1 the
# real-window test's tools and 32-bit Wine, both together 64-bit Wine as well.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config python3
  googletest libgtest-dev
  clang libclang-rt-14-dev
  g++-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-i686-dev
  ffmpeg libavcodec-dev libavutil-dev libswscale-dev
  nlohmann-json3-dev
)
if [ "${ZENTRIX_WIN64:-0}" = 1 ]; then
  packages+=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev)
fi
if [ "${ZENTRIX_WINE:-0}" = 1 ]; then
  packages+=(wine fonts-wine xvfb xdotool x11-utils imagemagick zip)
  # 32-bit Wine only where it is wanted: a machine that cannot run 32-bit
  # code tests the 64-bit program under 64-bit Wine.
  [ "${ZENTRIX_WIN64:-0}" = 1 ] && packages+=(wine64) || packages+=(wine32:i386)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" != 0 ]; then
  echo "setup: missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
  dpkg --add-architecture i386
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
