#!/usr/bin/env bash
# Builds the minimal static FFmpeg (libavcodec + libavutil) that the Windows
# codec modules link against: MinGW-w64 for 32-bit (i686) or 64-bit (x86_64)
# Windows, from Debian's ffmpeg source package, with only the decoders and the
# encoder the modules use.
#
#   build-ffmpeg-mingw.sh [--target i686|x86_64] [PREFIX]
#
# The build lands in a cache outside the work tree, shared by every clone on
# the machine: $ZENTRIX_CACHE, else ~/.cache/zentrix (or $XDG_CACHE_HOME/zentrix),
# one folder per FFmpeg version, target and configure options. A folder
# without its completion stamp is a build that did not finish: it is rebuilt.
# The install folder is printed on standard output; with PREFIX, PREFIX
# becomes a symbolic link to it. Progress goes to standard error.
set -euo pipefail

target=i686
prefix=
while [ $# -gt 0 ]; do
  case $1 in
    --target) target=${2:?--target needs i686 or x86_64}; shift 2 ;;
    --target=*) target=${1#--target=}; shift ;;
    -h|--help) sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "ffmpeg-mingw: unknown option $1" >&2; exit 2 ;;
    *) prefix=$1; shift ;;
  esac
done
# Relative to the folder the script was started in, before any cd below.
if [ -n "$prefix" ]; then
  case $prefix in /*) ;; *) prefix=$PWD/$prefix ;; esac
fi

case $target in
  i686) arch=x86 ;;
  x86_64) arch=x86_64 ;;
  *) echo "ffmpeg-mingw: unknown target '$target' (i686 or x86_64)" >&2; exit 2 ;;
esac
host=$target-w64-mingw32
cc=$(command -v "$host-gcc-posix" || command -v "$host-gcc" || true)
if [ -z "$cc" ]; then
  echo "ffmpeg-mingw: no $host-gcc (run scripts/setup.sh$([ "$target" = x86_64 ] &&
    echo ' with ZENTRIX_WIN64=1'))" >&2
  exit 1
fi
cache=${ZENTRIX_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/zentrix}
jobs=${ZENTRIX_JOBS:-2}
log() { echo "ffmpeg-mingw ($target): $*" >&2; }
need_root() {
  if [ "$(id -u)" != 0 ]; then
    echo "ffmpeg-mingw: $1 (run as root)" >&2
    exit 1
  fi
}

# No assembly at all: there is no nasm in the toolchain, and 32-bit inline
# assembly in the H.264 decoder runs out of registers with some compilers.
options=(
  --enable-cross-compile --arch="$arch" --target-os=mingw32
  --cross-prefix="$host-" --cc="$(basename "$cc")"
  --disable-asm --disable-autodetect --disable-debug
  --enable-static --disable-shared --enable-pic
  --disable-programs --disable-doc --disable-network
  --disable-everything
  --disable-avdevice --disable-avformat --disable-avfilter
  --disable-swresample --disable-swscale --disable-postproc
  --enable-decoder=h264,h263,mpeg4,mjpeg
  --enable-parser=h264,h263,mpeg4video,mjpeg
  --enable-encoder=mpeg4
  --enable-w32threads
)

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

# The version apt-get source would fetch; fetched by that exact version below.
version=$(apt-cache showsrc --only-source ffmpeg 2>/dev/null |
          sed -n 's/^Version: //p' | sort -V | tail -n 1)
[ -n "$version" ] || { echo "ffmpeg-mingw: apt knows no ffmpeg source package" >&2; exit 1; }
# The key covers the options and the compiler that builds with them.
key=$( { printf '%s\n' "${options[@]}"; "$cc" --version | head -n 1; } |
       sha256sum | cut -c1-12)
name=ffmpeg-${version//[:~]/_}-$target-$key
installed=$cache/$name
stamp=$installed/.complete

link_prefix() {
  echo "$installed"
  [ -n "$prefix" ] || return 0
  if [ -e "$prefix" ] && [ ! -L "$prefix" ]; then
    echo "ffmpeg-mingw: $prefix exists and is no link; remove it or name another" >&2
    exit 1
  fi
  mkdir -p "$(dirname "$prefix")"
  ln -sfn "$installed" "$prefix"
  log "$prefix -> $installed"
}

mkdir -p "$cache"
# One build per folder at a time; a second clone waits for the first.
exec 9>"$cache/.$name.lock"
flock 9
if [ -f "$stamp" ]; then
  log "cached in $installed"
  link_prefix
  exit 0
fi
rm -rf "$installed"

# The source is shared by the targets: fetched under a lock of its own.
src=$cache/src/ffmpeg-${version//[:~]/_}
exec 8>"$cache/.src.lock"
flock 8
if [ ! -f "$src/.complete" ]; then
  log "fetching Debian's ffmpeg source package $version"
  rm -rf "$src" "$src.tmp"
  mkdir -p "$src.tmp"
  # apt's download user cannot write into root's cache folder: quietly unsandboxed.
  (cd "$src.tmp" && apt-get source -qq "ffmpeg=$version" 2>&1 >/dev/null |
     grep -v 'unsandboxed as root' >&2 || true)
  unpacked=$(find "$src.tmp" -mindepth 1 -maxdepth 1 -type d -name 'ffmpeg-*' | head -n 1)
  [ -x "$unpacked/configure" ] || { echo "ffmpeg-mingw: no configure in $src.tmp" >&2; exit 1; }
  mv "$unpacked" "$src"
  rm -rf "$src.tmp"
  touch "$src/.complete"
fi
flock -u 8

build=$cache/build-$target-$key
rm -rf "$build"
mkdir -p "$build"
cd "$build"
log "configuring $(basename "$src") for $host"
nice -n 10 "$src/configure" --prefix="$installed" "${options[@]}" \
  > configure.log 2>&1 || { tail -n 30 configure.log >&2; exit 1; }
log "building with -j$jobs (nice 10)"
nice -n 10 make -j"$jobs" >make.log 2>&1 || { tail -n 40 make.log >&2; exit 1; }
make install >install.log 2>&1 || { tail -n 20 install.log >&2; exit 1; }
for file in lib/libavcodec.a lib/libavutil.a include/libavcodec/avcodec.h; do
  [ -f "$installed/$file" ] || { echo "ffmpeg-mingw: $file was not installed" >&2; exit 1; }
done
cd /
rm -rf "$build"
touch "$stamp"
log "installed in $installed"
link_prefix
