#!/usr/bin/env bash
# Builds zentrix on every target and runs every test: the native build with
# its tests, the same tests under AddressSanitizer and UndefinedBehaviorSanitizer,
# the parallel export tests under ThreadSanitizer, the 32-bit Windows cross
# build, the real-window test, and a bounded libFuzzer run.
# The real-window test drives the 32-bit zentrix.exe under 32-bit Wine where
# this machine runs 32-bit x86 code, else the 64-bit build under 64-bit Wine;
# ZENTRIX_FORCE_WIN64=1 takes the 64-bit way here too (to try it out).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)
fuzz_seconds=${ZENTRIX_FUZZ_SECONDS:-60}

bash scripts/setup.sh

step() { printf '\n== %s\n' "$*"; }

# Whether this machine runs 32-bit x86 code: a static i386 program that only
# exits, made with the binutils at hand, needs no 32-bit library. Sets why.
runs_32bit() {
  local dir status=0
  dir=$(mktemp -d)
  printf '.globl _start\n_start:\n movl $1, %%eax\n xorl %%ebx, %%ebx\n int $0x80\n' >"$dir/exit.s"
  if ! as --32 -o "$dir/exit.o" "$dir/exit.s" || ! ld -m elf_i386 -o "$dir/exit" "$dir/exit.o"; then
    why="no i386 program could be made to try it"
    status=1
  elif ! why=$( { "$dir/exit"; } 2>&1 ); then
    why="this machine cannot run 32-bit x86 code (${why##*: })"
    status=1
  else
    why="this machine runs 32-bit x86 code"
  fi
  rm -rf "$dir"
  return $status
}

step "native build and tests"
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZENTRIX_WERROR=ON >/dev/null
cmake --build build/native -j "$jobs"
ctest --test-dir build/native --output-on-failure -j "$jobs"

step "sanitizer build and tests (clang, ASan + UBSan)"
san="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
CC=clang CXX=clang++ cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DZENTRIX_WERROR=ON -DCMAKE_C_FLAGS="$san" -DCMAKE_CXX_FLAGS="$san" \
  -DCMAKE_EXE_LINKER_FLAGS="$san" -DCMAKE_SHARED_LINKER_FLAGS="$san" >/dev/null
cmake --build build/sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/sanitize --output-on-failure -j "$jobs"

step "parallel export tests under ThreadSanitizer (clang)"
tsan="-fsanitize=thread -fno-omit-frame-pointer"
CC=clang CXX=clang++ cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZENTRIX_WERROR=ON -DCMAKE_C_FLAGS="$tsan" -DCMAKE_CXX_FLAGS="$tsan" \
  -DCMAKE_EXE_LINKER_FLAGS="$tsan" -DCMAKE_SHARED_LINKER_FLAGS="$tsan" >/dev/null
cmake --build build/tsan -j "$jobs" --target export_tests cli_tests
# The tests that run exports on several threads. A report fails its test:
# a test program then exits with 66, and zentrix-cli prints it to the
# standard error that the tests read.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --test-dir build/tsan \
  --output-on-failure -j "$jobs" -R 'Jobs|CliStopFixture|ExportWritesAndLists'

step "32-bit Windows cross build (programs, codec modules, package)"
# The codec modules link a minimal static FFmpeg, built once per machine into
# a cache outside the work tree.
windows_build() {  # target, build folder
  local ffmpeg
  ffmpeg=$(bash scripts/build-ffmpeg-mingw.sh --target "$1")
  cmake -S . -B "$2" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$1.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DZENTRIX_WERROR=ON -DZENTRIX_TESTS=OFF \
    -DZENTRIX_FFMPEG_ROOT="$ffmpeg" >/dev/null
  cmake --build "$2" -j "$jobs"
}
windows_build i686 build/mingw

if [ "${ZENTRIX_FORCE_WIN64:-0}" = 1 ]; then
  arch=win64 why="ZENTRIX_FORCE_WIN64=1 asks for it"
elif runs_32bit; then
  arch=win32
else
  arch=win64
fi
if [ "$arch" = win64 ]; then
  step "64-bit Windows cross build (programs, codec modules, package)"
  ZENTRIX_WIN64=1 bash scripts/setup.sh
  windows_build x86_64 build/mingw64
  mingw_bin=build/mingw64/bin
  path="the 64-bit zentrix.exe under 64-bit Wine"
else
  mingw_bin=build/mingw/bin
  path="the 32-bit zentrix.exe under 32-bit Wine"
fi

step "zentrix.exe in a real window (Wine on Xvfb)"
echo "real-window test: $path, as $why"
ZENTRIX_WIN64=$([ "$arch" = win64 ] && echo 1 || echo 0) ZENTRIX_WINE=1 bash scripts/setup.sh
python3 tests/app/wine_gui_test.py --arch "$arch" --mingw-bin "$mingw_bin" \
  --native-bin build/native/bin --out "${mingw_bin%/bin}/wine-gui-test"

step "fuzzing (${fuzz_seconds} s in all)"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZENTRIX_TESTS=OFF -DZENTRIX_CODECS=OFF -DZENTRIX_FUZZ=ON >/dev/null
cmake --build build/fuzz -j "$jobs"
bash scripts/fuzz.sh build/fuzz "$fuzz_seconds"

step "all tests passed"
