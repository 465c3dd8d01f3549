#!/usr/bin/env bash
# Builds the minimal static FFmpeg (libavcodec + libavutil) that the Windows
# codec modules link against: 32-bit, MinGW-w64, from Debian's ffmpeg source
# package, with only the decoders and the encoder the modules use.
# Installs into cache/ffmpeg-mingw (or $1); does nothing when it is there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
prefix=${1:-$root/cache/ffmpeg-mingw}
work=$root/cache/ffmpeg-src
jobs=${ZENTRIX_JOBS:-2}

if [ -f "$prefix/lib/libavcodec.a" ] && [ -f "$prefix/lib/libavutil.a" ] \
   && [ -f "$prefix/include/libavcodec/avcodec.h" ]; then
  echo "ffmpeg-mingw: cached in $prefix"
  exit 0
fi

need_root() {
  if [ "$(id -u)" != 0 ]; then
    echo "ffmpeg-mingw: $1 (run as root)" >&2
    exit 1
  fi
}

# apt-get source needs the source lists and dpkg-source.
if ! command -v dpkg-source >/dev/null; then
  need_root "dpkg-dev is missing"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends dpkg-dev >/dev/null
fi
if ! grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  need_root "no deb-src entries in the apt sources"
  # Same archive and suites as the binary entries, for sources only.
  cat > /etc/apt/sources.list.d/zentrix-deb-src.sources <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  apt-get update -qq
fi

mkdir -p "$work"
src=$(find "$work" -maxdepth 1 -type d -name 'ffmpeg-*' | sort | tail -n 1)
if [ -z "$src" ] || [ ! -x "$src/configure" ]; then
  echo "ffmpeg-mingw: fetching Debian's ffmpeg source package"
  (cd "$work" && apt-get source -qq ffmpeg >/dev/null)
  src=$(find "$work" -maxdepth 1 -type d -name 'ffmpeg-*' | sort | tail -n 1)
fi
[ -x "$src/configure" ] || { echo "ffmpeg-mingw: no configure in $work" >&2; exit 1; }

build=$work/build-mingw
rm -rf "$build"
mkdir -p "$build"
cd "$build"
echo "ffmpeg-mingw: configuring $(basename "$src")"
# No assembly at all: there is no nasm in the toolchain, and 32-bit inline
# assembly in the H.264 decoder runs out of registers with some compilers.
"$src/configure" \
  --prefix="$prefix" \
  --enable-cross-compile --arch=x86 --target-os=mingw32 \
  --cross-prefix=i686-w64-mingw32- --cc=i686-w64-mingw32-gcc-posix \
  --disable-asm --disable-autodetect --disable-debug \
  --enable-static --disable-shared --enable-pic \
  --disable-programs --disable-doc --disable-network \
  --disable-everything \
  --disable-avdevice --disable-avformat --disable-avfilter \
  --disable-swresample --disable-swscale --disable-postproc \
  --enable-decoder=h264,h263,mpeg4,mjpeg \
  --enable-parser=h264,h263,mpeg4video,mjpeg \
  --enable-encoder=mpeg4 \
  --enable-w32threads \
  > configure.log 2>&1 || { tail -n 30 configure.log >&2; exit 1; }
echo "ffmpeg-mingw: building with -j$jobs"
make -j"$jobs" >make.log 2>&1 || { tail -n 40 make.log >&2; exit 1; }
make install >install.log 2>&1 || { tail -n 20 install.log >&2; exit 1; }
echo "ffmpeg-mingw: installed in $prefix"
