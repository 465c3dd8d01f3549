#!/usr/bin/env bash
# Fault tolerance and scale with the real codec modules, too slow for CI:
#   1. a full disk (a small tmpfs; a file size limit where mounting is not
#      allowed) that fills up after the first segments: zentrix-cli exits 5
#      and says what is missing, and every file with a final name is whole;
#   2. SIGINT and SIGTERM at random moments of an export: every listed file
#      is whole and plays, and no temporary file is left;
#   3. damaged recordings, one kind of damage at a time: both commands end
#      with status 0, every file is whole and plays, every frame before the
#      damage survives; the share of frames saved is printed per kind; an
#      export --copy of the same damaged recording keeps every frame that
#      the transcode kept, in whole files;
#   4. a sparse recording beyond 4 GiB, scanned and exported to its end;
#   5. long runs: peak memory of one-channel exports of 30 minutes and of 3
#      hours, and a segment that reaches the AVI size limit of 2 GiB;
#   6. every fuzz target (the export over the real codec modules), each for
#      ROBUSTNESS_FUZZ_SECONDS.
# A file is whole when scripts/avi_check.py finds its index matching its
# chunks; it plays when ffprobe decodes all its frames. Figures are printed
# on the way; the last line reads "N passed, N failed".
#
# Usage: scripts/robustness.sh [--quick] [ITEM...]   (--quick: fewer rounds,
#        shorter runs, 20 s of fuzzing a target; about 5 minutes; items 1-6,
#        default all)
# Environment: ROBUSTNESS_ROUNDS (default 30), ROBUSTNESS_FUZZ_SECONDS (600).
# Scratch space: out/robustness (about 5 GiB at its peak, removed as it goes).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)
rounds=${ROBUSTNESS_ROUNDS:-30}
fuzz_seconds=${ROBUSTNESS_FUZZ_SECONDS:-600}
long_minutes=180
quick=0
if [ "${1:-}" = "--quick" ]; then
  quick=1
  rounds=4
  fuzz_seconds=20
  long_minutes=60
  shift
fi
items=${*:-1 2 3 4 5 6}
wanted() { [[ " $items " == *" $1 "* ]]; }

build=$root/build/robustness
work=$root/out/robustness
passed=0
failed=0

step() { printf '\n== %s\n' "$*"; }
pass() { passed=$((passed + 1)); echo "ok: $*"; }
fail() { failed=$((failed + 1)); echo "FAILED: $*"; }
now_ms() { date +%s%3N; }
seconds_since() { awk -v a="$1" -v b="$(now_ms)" 'BEGIN { printf "%.2f", (b - a) / 1000 }'; }

# Frames ffprobe decodes from the video stream of an AVI file, or "bad".
frames_of() {
  local count
  count=$(ffprobe -v error -count_frames -select_streams v:0 \
    -show_entries stream=nb_read_frames -of csv=p=0 "$1" 2>/dev/null) || { echo bad; return; }
  [ -n "$count" ] && echo "$count" || echo bad
}

# Every Ch*.avi of a folder is whole (and, unless told "whole", plays);
# prints "N files, M frames".
check_folder() {
  local folder=$1 depth=${2:-plays} files=0 total=0 file count
  for file in "$folder"/Ch*.avi; do
    [ -e "$file" ] || continue
    if ! python3 scripts/avi_check.py "$file" >/dev/null; then
      python3 scripts/avi_check.py "$file"
      return 1
    fi
    if [ "$depth" = plays ]; then
      count=$(frames_of "$file")
    else
      count=$(python3 scripts/avi_check.py "$file" | awk '{ print $(NF - 1) }')
    fi
    if [ "$count" = bad ]; then
      echo "ffprobe cannot read $file"
      return 1
    fi
    files=$((files + 1))
    total=$((total + count))
  done
  echo "$files files, $total frames"
}

frames_in() { local r=${1#* files, }; echo "${r% frames}"; }

# Runs a command with its standard output discarded and writes its peak
# resident set size in KiB to the file given first; returns its status.
with_peak_rss() {
  local into=$1
  shift
  /usr/bin/time -f '%M' -o "$into" "$@" >/dev/null
}

step "build into build/robustness (real codec modules, the lossless test modules)"
bash scripts/setup.sh >/dev/null
# GNU time measures the peak memory of the long runs.
[ -x /usr/bin/time ] || apt-get install -y time >/dev/null || exit 1
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZENTRIX_WERROR=ON -DZENTRIX_TESTS=ON \
  >/dev/null || exit 1
cmake --build "$build" -j "$jobs" --target zentrix-cli zentrix-mkrec zentrix_codec_modules \
  zentrix_test_codecs >/dev/null || exit 1
cli=$build/bin/zentrix-cli
mkrec=$build/bin/zentrix-mkrec
rm -rf "$work"
mkdir -p "$work"

step "the recording: 3 channels, 40 s, H.264, Motion JPEG and MPEG-4, 640x480 then 320x240"
recording=$work/recording.rec
"$mkrec" --channels 1,2,3 --codecs 6,0,2 --sizes 640x480,320x240 --duration 40 --fps 15 \
  --quiet "$recording" || exit 1
mkdir -p "$work/clean"
start=$(now_ms)
"$cli" export "$recording" "$work/clean" >/dev/null || exit 1
clean_seconds=$(seconds_since "$start")
clean=$(check_folder "$work/clean") || exit 1
clean_frames=$(frames_in "$clean")
echo "clean export: $clean in ${clean_seconds} s; $(du -sh "$work/clean" | cut -f1) of AVI files"

if wanted 1; then
step "1. a full disk"
# Room for the first segments (640x480) and 1 MiB more: the disk fills up
# during the second ones.
full=$work/full
mkdir -p "$full"
first_kib=$(find "$work/clean" -name 'Ch*.avi' ! -name '*(2).avi' -printf '%s\n' \
  | awk '{ s += $1 } END { printf "%d", s / 1024 + 1024 }')
mode=tmpfs
if mount -t tmpfs -o size=${first_kib}k zentrix-full "$full" 2>/dev/null; then
  trap 'umount "$full" 2>/dev/null' EXIT
  "$cli" export "$recording" "$full" >"$work/full.out" 2>"$work/full.err"
  status=$?
else
  mode="file size limit"
  ( trap '' XFSZ; ulimit -f $((first_kib / 3)); "$cli" export "$recording" "$full" ) \
    >"$work/full.out" 2>"$work/full.err"
  status=$?
fi
echo "disk: $mode of $first_kib KiB"
cat "$work/full.err"
if [ "$status" -eq 5 ] && grep -q "could not be written completely" "$work/full.err"; then
  pass "full disk: exit status 5 and the message"
else
  fail "full disk: exit status $status"
fi
if result=$(check_folder "$full"); then
  pass "full disk: every file with a final name is whole and plays ($result)"
else
  fail "full disk: $result"
fi
listed=$(wc -l <"$work/full.out")
named=$(find "$full" -name 'Ch*.avi' | wc -l)
kept=$(find "$full" -name '~*.avi' | wc -l)
reported=$(grep -c "kept as" "$work/full.err")
[ "$listed" -eq "$named" ] && [ "$kept" -eq "$reported" ] \
  && pass "full disk: $named files listed and named, $kept unfinished ones reported" \
  || fail "full disk: $listed listed, $named named, $kept kept, $reported reported"
if [ "$mode" = tmpfs ]; then
  umount "$full"
  trap - EXIT
fi

fi

if wanted 2; then
step "2. SIGINT and SIGTERM at random moments ($rounds rounds)"
stopped=0
checked=0
for round in $(seq 1 "$rounds"); do
  folder=$work/stop$round
  mkdir -p "$folder"
  signal=INT
  [ $((round % 2)) -eq 0 ] && signal=TERM
  delay=$(awk -v r="$RANDOM" -v s="$clean_seconds" 'BEGIN { printf "%.3f", r / 32767 * s }')
  "$cli" export "$recording" "$folder" >"$folder.out" 2>"$folder.err" &
  pid=$!
  sleep "$delay"
  kill -s "$signal" "$pid" 2>/dev/null
  wait "$pid"
  status=$?
  expected=130
  [ "$signal" = TERM ] && expected=143
  what="stop $round (SIG$signal after $delay s, status $status)"
  if [ "$status" -ne 0 ] && [ "$status" -ne "$expected" ]; then
    fail "$what"
    continue
  fi
  [ "$status" -ne 0 ] && stopped=$((stopped + 1))
  if ! result=$(check_folder "$folder"); then
    fail "$what: $result"
  elif ls "$folder"/~*.avi >/dev/null 2>&1; then
    fail "$what: temporary files left"
  elif [ "$(wc -l <"$folder.out")" -ne "$(find "$folder" -name 'Ch*.avi' | wc -l)" ]; then
    fail "$what: the files listed are not the files named"
  else
    checked=$((checked + $(find "$folder" -name 'Ch*.avi' | wc -l)))
    pass "$what: $result"
  fi
  rm -rf "$folder" "$folder.out" "$folder.err"
done
echo "$stopped of $rounds runs were stopped before their end; $checked files checked"

fi

if wanted 3; then
step "3. damaged recordings ($rounds of each kind of damage, transcoded and copied)"
damaged=$work/damaged.rec
folder=$work/damaged
summary=""
for kind in cut-boundary cut-inside flip block-year block-counts garbage short-record; do
  saved=0
  copied=0
  for round in $(seq 1 "$rounds"); do
    rm -rf "$folder" "$folder-copy"
    mkdir -p "$folder" "$folder-copy"
    what=$(python3 scripts/damage_recording.py "$kind" "$recording" "$damaged" "$round$RANDOM")
    before=${what##*; }
    before=${before%% *}
    "$cli" scan "$damaged" >/dev/null 2>&1
    scan_status=$?
    "$cli" export "$damaged" "$folder" >/dev/null 2>&1
    status=$?
    if [ "$scan_status" -ne 0 ] || [ "$status" -ne 0 ]; then
      fail "$kind: $what: scan status $scan_status, export status $status"
      continue
    fi
    if ! result=$(check_folder "$folder"); then
      fail "$kind: $what: $result"
      continue
    fi
    frames=$(frames_in "$result")
    saved=$((saved + frames))
    if ls "$folder"/~*.avi >/dev/null 2>&1; then
      fail "$kind: $what: temporary files left"
    elif [ "${kind#cut-}" != "$kind" ] && [ "$frames" -ne "$before" ]; then
      fail "$kind: $what: $frames frames exported"
    elif [ "$frames" -lt "$before" ]; then
      fail "$kind: $what: only $frames frames exported"
    else
      pass "$kind: $what: $result"
    fi
    # The copy: every frame that the transcode kept (frames that a decoder
    # refused are copied all the same), in whole files, none temporary.
    "$cli" export "$damaged" "$folder-copy" --copy >/dev/null 2>&1
    status=$?
    if [ "$status" -ne 0 ]; then
      fail "$kind --copy: $what: export status $status"
    elif ! copy_result=$(check_folder "$folder-copy" whole); then
      fail "$kind --copy: $what: $copy_result"
    elif ls "$folder-copy"/~*.avi >/dev/null 2>&1; then
      fail "$kind --copy: $what: temporary files left"
    elif [ "$(frames_in "$copy_result")" -lt "$frames" ]; then
      fail "$kind --copy: $what: $copy_result, the transcode kept $frames frames"
    else
      copied=$((copied + $(frames_in "$copy_result")))
      pass "$kind --copy: $what: $copy_result"
    fi
  done
  share=$(awk -v s="$saved" -v c="$clean_frames" -v n="$rounds" \
    'BEGIN { printf "%.1f", 100 * s / (c * n) }')
  copy_share=$(awk -v s="$copied" -v c="$clean_frames" -v n="$rounds" \
    'BEGIN { printf "%.1f", 100 * s / (c * n) }')
  summary="$summary$(printf '%-13s %6.1f %% of the clean frames exported on average, %6.1f %% copied' "$kind" "$share" "$copy_share")
"
done
echo "frames saved by kind of damage ($rounds rounds each):"
printf '%s' "$summary"
rm -rf "$folder" "$folder-copy"
fi

if wanted 4; then
step "4. a sparse recording beyond 4 GiB"
big=$work/big.rec
# The recording, then long header blocks whose entries carry the walk
# 16,776,960 bytes on each (never written: the file stays sparse), then the
# recording again.
python3 - "$recording" "$big" <<'PY'
import struct, sys
source = open(sys.argv[1], 'rb').read()
length = struct.unpack_from('<I', source, 0)[0] & 0x7FFFF
assert (source[8] >> 2) & 15 == 4, 'the recording does not start with a header block'
base = bytearray(168)
base[:min(length, 168)] = source[10:10 + min(length, 168)]
struct.pack_into('<H', base, 30, 1)        # version 1: no extension
for at in range(36, 164):
    base[at] = 0xFF                        # 64 entry counts of 65,535
head = bytearray(10)
struct.pack_into('<I', head, 0, 169)       # the long form
head[8] = 4 << 2                           # kind 4
with open(sys.argv[2], 'wb') as out:
    out.write(source)
    while out.tell() < (4 << 30) + (64 << 20):
        out.write(head)
        out.write(base)
        out.seek(64 * 65535 * 4, 1)
    out.write(source)
PY
echo "$(stat -c %s "$big") bytes, $(du -k "$big" | cut -f1) KiB on disk"
start=$(now_ms)
"$cli" scan "$big" >"$work/big.scan" || fail "scan of the big recording"
scan_seconds=$(seconds_since "$start")
"$cli" scan "$recording" >"$work/small.scan"
diff -q "$work/big.scan" "$work/small.scan" >/dev/null \
  && pass "big recording: the scan lists the channels of the recording in ${scan_seconds} s" \
  || fail "big recording: the scan lists other channels"
mkdir -p "$work/big"
start=$(now_ms)
"$cli" export "$big" "$work/big" >/dev/null || fail "export of the big recording"
export_seconds=$(seconds_since "$start")
result=$(check_folder "$work/big")
echo "big recording: $result in ${export_seconds} s"
big_frames=$(frames_in "$result")
[ "$big_frames" = "$((2 * clean_frames))" ] \
  && pass "big recording: both copies exported ($big_frames frames)" \
  || fail "big recording: $big_frames frames, expected $((2 * clean_frames))"
rm -rf "$big" "$work/big"
fi

if wanted 5; then
step "5. long runs"
# One channel of 320x240 H.264 at 10 frames a second; the long recording is
# the short one six times over (the times repeat, the segment goes on).
short=$work/short.rec
long=$work/long.rec
short_minutes=$((long_minutes / 6))
"$mkrec" --channels 1 --codecs 6 --sizes 320x240 --duration $((short_minutes * 60)) --fps 10 \
  --quiet "$short" || exit 1
for i in 1 2 3 4 5 6; do cat "$short"; done >"$long"
for length in short long; do
  folder=$work/$length
  mkdir -p "$folder"
  start=$(now_ms)
  with_peak_rss "$work/$length.rss" "$cli" export "$work/$length.rec" "$folder" \
    || fail "$length export"
  seconds=$(seconds_since "$start")
  result=$(check_folder "$folder" whole)
  minutes=$short_minutes
  [ "$length" = long ] && minutes=$long_minutes
  echo "$minutes minutes of video: $result in ${seconds} s, peak RSS $(tail -1 "$work/$length.rss") KiB"
done
short_rss=$(tail -1 "$work/short.rss")
long_rss=$(tail -1 "$work/long.rss")
long_frames=$(frames_in "$(check_folder "$work/long" whole)")
# The AVI index takes 16 bytes a frame and grows in steps of 1000 entries.
allowance=$(( (long_frames * 16 + 16000) / 1024 + 2048 ))
growth=$((long_rss - short_rss))
[ "$growth" -le "$allowance" ] \
  && pass "long runs: peak RSS grew by $growth KiB over ${long_frames} frames (index: $((long_frames * 16 / 1024)) KiB)" \
  || fail "long runs: peak RSS grew by $growth KiB, more than the index's $allowance KiB"
rm -rf "$short" "$long" "$work/short" "$work/long"

# A segment that reaches the AVI size limit: raw 640x480 pictures through the
# lossless test modules (an encoder's output as large as its input), a key
# frame every 25 frames, 4,800 frames: 2.2 GB of video in one channel.
lossless=$work/lossless-bin
mkdir -p "$lossless"
cp "$cli" "$build"/bin/testcodecs/lossless/*.dll "$lossless"/
raw=$work/raw.rec
frames=4800
[ "$quick" = 1 ] && frames=4700
python3 - "$recording" "$raw" "$frames" <<'PY'
import struct, sys
source = open(sys.argv[1], 'rb').read()
block_length = 10 + (struct.unpack_from('<I', source, 0)[0] & 0x7FFFF)
width, height = 640, 480
picture = bytearray(width * height * 3 // 2)
with open(sys.argv[2], 'wb') as out:
    out.write(source[:block_length])       # the recording's first header block
    for n in range(int(sys.argv[3])):
        picture[n % len(picture)] = n & 0xFF
        payload = struct.pack('<I', (2 << 4) | (width << 10) | (height << 21)) + picture
        kind = 0 if n % 25 == 0 else 1
        time_ms = 8 * 3600000 + n * 40
        head = struct.pack('<II', len(payload), time_ms << 5) + bytes([3 | (kind << 2), 0])
        out.write(head + payload)
PY
folder=$work/limit
mkdir -p "$folder"
start=$(now_ms)
with_peak_rss "$work/limit.rss" "$lossless/zentrix-cli" export "$raw" "$folder" \
  || fail "export to the size limit"
seconds=$(seconds_since "$start")
result=$(check_folder "$folder" whole)
echo "size limit: $result in ${seconds} s, peak RSS $(tail -1 "$work/limit.rss") KiB:"
ls -l "$folder"
segments=$(find "$folder" -name 'Ch1_*.avi' | wc -l)
largest=$(find "$folder" -name 'Ch1_*.avi' -printf '%s\n' | sort -n | tail -1)
limit_frames=$(frames_in "$result")
if [ "$segments" -eq 2 ] && [ "$largest" -lt 2147483648 ] && [ -n "$(find "$folder" -name '*(2).avi')" ] \
   && [ "$limit_frames" -gt $((frames - 25)) ]; then
  pass "size limit: split into 2 segments below 2 GiB, $limit_frames of $frames frames kept"
else
  fail "size limit: $segments segments, largest $largest bytes, $limit_frames of $frames frames"
fi
rm -rf "$raw" "$folder" "$lossless"
fi

if wanted 6; then
step "6. fuzzing, the export over the real codec modules (${fuzz_seconds} s a target)"
CC=clang CXX=clang++ cmake -S . -B "$build-fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZENTRIX_TESTS=OFF -DZENTRIX_CODECS=ON -DZENTRIX_FUZZ=ON >/dev/null || exit 1
cmake --build "$build-fuzz" -j "$jobs" >/dev/null || exit 1
targets=$(find "$build-fuzz/bin" -maxdepth 1 -name 'fuzz_*' -type f | wc -l)
if bash scripts/fuzz.sh "$build-fuzz" $((fuzz_seconds * targets)); then
  pass "fuzzing: $targets targets"
else
  fail "fuzzing"
fi
fi

step "robustness"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
