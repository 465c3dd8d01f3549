#!/usr/bin/env bash
# Builds zentrix on every target and runs every test: the native build with
# its tests, the same tests under AddressSanitizer and UndefinedBehaviorSanitizer,
# the 32-bit Windows cross build, and a bounded libFuzzer run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)
fuzz_seconds=${ZENTRIX_FUZZ_SECONDS:-60}

bash scripts/setup.sh

step() { printf '\n== %s\n' "$*"; }

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

step "32-bit Windows cross build (programs, codec modules, package)"
# The codec modules link a minimal static FFmpeg, built once into cache/.
bash scripts/build-ffmpeg-mingw.sh "$root/cache/ffmpeg-mingw"
cmake -S . -B build/mingw -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DZENTRIX_WERROR=ON -DZENTRIX_TESTS=OFF \
  -DZENTRIX_FFMPEG_ROOT="$root/cache/ffmpeg-mingw" >/dev/null
cmake --build build/mingw -j "$jobs"

step "zentrix.exe in a real window (32-bit Wine on Xvfb)"
ZENTRIX_WINE=1 bash scripts/setup.sh
python3 tests/app/wine_gui_test.py --mingw-bin build/mingw/bin --native-bin build/native/bin \
  --out build/mingw/wine-gui-test

step "fuzzing (${fuzz_seconds} s in all)"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZENTRIX_TESTS=OFF -DZENTRIX_CODECS=OFF -DZENTRIX_FUZZ=ON >/dev/null
cmake --build build/fuzz -j "$jobs"
bash scripts/fuzz.sh build/fuzz "$fuzz_seconds"

step "all tests passed"
