#!/usr/bin/env bash
# Benchmarks (never run in CI); prints figures:
#  1. export speed of one 640x480 H.264 channel against ffmpeg -threads 1
#     decoding the same access units and encoding MPEG-4 at the same fixed
#     quantiser, as a ratio (ffmpeg time / zentrix time; target >= 1.0);
#  2. scan time of a ~1 GiB recording against `cat FILE > /dev/null`, both
#     with the file in the page cache (target: scan below 5 % of cat);
#  3. peak resident memory of an export of 1 minute and of 10 minutes;
#  4. info on the ~1 GiB recording against the export walk alone (an export
#     of a channel without frames), warm (target: info <= 1.5 x the walk);
#  5. what --report adds to the wall time of the transcode of 1. (target
#     <= 15 %);
#  6. export --copy of a >= 1 GiB recording with 4 channels against `cp` of
#     it into the same output folder, both warm, side by side (target: copy
#     at most 1.5 x the time of cp);
#  7. peak resident memory of export --copy of 10 and of 60 minutes of video
#     (target: flat but for the AVI index's 16 bytes a frame);
#  8. what --captions adds to the wall time of a transcode (target <= 10 %);
#  9. the parallel export (default --jobs: one thread a processor): four
#     60 s channels of 640x480 H.264 against the same four transcodes by
#     ffmpeg -threads 1 one after another (target >= 1.85 on 2 processors),
#     and one such channel against one ffmpeg with its default threads
#     (target >= 1.4);
# 10. peak resident memory of an export of 16 channels with --jobs 2.
# Usage: scripts/bench.sh [ITEM...]   (items 1-10; default all;
#                                     4 runs with 2, 5 needs 1)
# ZENTRIX_BUILD chooses the build folder (default build/native);
# ZENTRIX_BENCH_DIR the scratch folder (default out/bench, about 3.5 GiB for
# item 6).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${ZENTRIX_BUILD:-build/native}
work=${ZENTRIX_BENCH_DIR:-out/bench}
export_minutes=${ZENTRIX_BENCH_MINUTES:-3}

bash scripts/setup.sh
if [ ! -x /usr/bin/time ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends time >/dev/null
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target zentrix-cli zentrix-mkrec zentrix_codec_modules -- -j "$(nproc)" \
  >/dev/null
bin=$build/bin
mkdir -p "$work"
rm -rf "$work"/avi-*
items=${*:-1 2 3 4 5 6 7 8 9 10}
wanted() { [[ " $items " == *" $1 "* ]]; }

# Seconds of wall time of a command (its output discarded).
seconds() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null
  end=$(date +%s.%N)
  calc "$end - $start"
}
# Wall and processor (user + system) seconds of a command, output discarded.
timed() {
  /usr/bin/time -f '%e %U %S' -o "$work/time.txt" "$@" >/dev/null
  awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }' "$work/time.txt"
}
calc() { awk "BEGIN { printf \"%.3f\", $1 }"; }
less() { awk "BEGIN { exit !($1 < $2) }"; }

# The same work for ffmpeg: the same access units, MPEG-4 at quantiser 3
# without B-frames, intra frames where the source has them, into an AVI
# file under the FourCC xvid. Arguments: the input's frame rate, the input,
# the output, and options for threads (given before the input and output).
ffmpeg_transcode() {
  local rate=$1 input=$2 output=$3
  shift 3
  ffmpeg -nostdin -v error -y "$@" -f h264 -framerate "$rate" -i "$input" "$@" -c:v mpeg4 \
    -q:v 3 -bf 0 -g 100000 -force_key_frames source -sc_threshold 1000000000 -vtag xvid "$output"
}
# Best wall time of three runs of a command, output discarded.
best_of_3() {
  local best= t
  for _ in 1 2 3; do
    t=$(seconds "$@")
    if [ -z "$best" ] || less "$t" "$best"; then best=$t; fi
  done
  echo "$best"
}
# Exports a recording into a new folder.
zentrix_export() {
  rm -rf "$work/avi-zentrix"
  mkdir -p "$work/avi-zentrix"
  "$bin/zentrix-cli" export "$@" "$work/avi-zentrix"
}
ffmpeg_each_single_thread() {
  for input in "$@"; do ffmpeg_transcode 30 "$input" "$work/ffmpeg.avi" -threads 1; done
}

if wanted 1; then
echo "== 1. export speed: one 640x480 H.264 channel, $export_minutes minutes at 25 frames/s"
"$bin/zentrix-mkrec" --quiet --channels 1 --codecs 6 --sizes 640x480 --fps 25 --key-interval 50 \
  --duration $((export_minutes * 60)) --elementary "$work/speed" "$work/speed.rec"
cat "$work/speed.rec" "$work/speed-ch1.h264" >/dev/null
# The machine may be shared: each side runs three times, alternately, and the
# best wall time and the best processor time (user + system) count.
best_wall_z=; best_cpu_z=; best_wall_f=; best_cpu_f=; best_wall_r=
for _ in 1 2 3; do
  rm -rf "$work/avi-zentrix"; mkdir -p "$work/avi-zentrix"
  read -r wall cpu < <(timed "$bin/zentrix-cli" export "$work/speed.rec" "$work/avi-zentrix")
  if [ -z "$best_wall_z" ] || less "$wall" "$best_wall_z"; then best_wall_z=$wall; fi
  if [ -z "$best_cpu_z" ] || less "$cpu" "$best_cpu_z"; then best_cpu_z=$cpu; fi
  # The same export with a report (hashes of the recording and the files).
  rm -rf "$work/avi-zentrix"; mkdir -p "$work/avi-zentrix"
  read -r wall cpu < <(timed "$bin/zentrix-cli" export "$work/speed.rec" "$work/avi-zentrix" \
    --report "$work/report.json")
  if [ -z "$best_wall_r" ] || less "$wall" "$best_wall_r"; then best_wall_r=$wall; fi
  # The same work for ffmpeg: the same access units, one thread for decoding
  # and encoding, MPEG-4 at quantiser 3 without B-frames, intra frames where
  # the source has them, into an AVI file under the FourCC xvid.
  read -r wall cpu < <(timed ffmpeg -nostdin -v error -y -threads 1 -f h264 -framerate 25 \
    -i "$work/speed-ch1.h264" -threads 1 -c:v mpeg4 -q:v 3 -bf 0 -g 100000 \
    -force_key_frames source -sc_threshold 1000000000 -vtag xvid "$work/ffmpeg.avi")
  if [ -z "$best_wall_f" ] || less "$wall" "$best_wall_f"; then best_wall_f=$wall; fi
  if [ -z "$best_cpu_f" ] || less "$cpu" "$best_cpu_f"; then best_cpu_f=$cpu; fi
done
frames=$(ffprobe -v error -count_packets -select_streams v:0 -show_entries stream=nb_read_packets \
  -of csv=p=0 "$work/speed-ch1.h264")
zsize=$(du -cb "$work"/avi-zentrix/*.avi | tail -n 1 | cut -f 1)
fsize=$(stat -c %s "$work/ffmpeg.avi")
echo "frames:                 $frames"
echo "zentrix-cli export:     wall $best_wall_z s, processor $best_cpu_z s ($(calc "$frames / $best_wall_z") frames/s), $zsize bytes of AVI"
echo "ffmpeg -threads 1:      wall $best_wall_f s, processor $best_cpu_f s ($(calc "$frames / $best_wall_f") frames/s), $fsize bytes of AVI"
echo "speed ratio:            wall $(calc "$best_wall_f / $best_wall_z"), processor $(calc "$best_cpu_f / $best_cpu_z") (ffmpeg time / zentrix time; target >= 1.0)"
echo
fi

if wanted 2 || wanted 4; then
echo "== 2. scan speed: a ~1 GiB recording"
# A recording written over and over up to 1 GiB is still one valid recording.
"$bin/zentrix-mkrec" --quiet --channels 1-16 --codecs 6 --sizes 352x288 --fps 12 \
  --key-interval 12 --duration 100 --seed 3 "$work/piece.rec"
piece=$(stat -c %s "$work/piece.rec")
copies=$(( (1073741824 + piece - 1) / piece ))
rm -f "$work/big.rec"
for _ in $(seq "$copies"); do cat "$work/piece.rec" >> "$work/big.rec"; done
rm -f "$work/piece.rec"
size=$(stat -c %s "$work/big.rec")
cat "$work/big.rec" >/dev/null  # warm the page cache
best_cat=; best_scan=
for _ in 1 2 3; do
  t=$(seconds cat "$work/big.rec")
  if [ -z "$best_cat" ] || less "$t" "$best_cat"; then best_cat=$t; fi
  t=$(seconds "$bin/zentrix-cli" scan "$work/big.rec")
  if [ -z "$best_scan" ] || less "$t" "$best_scan"; then best_scan=$t; fi
done
echo "recording:              $size bytes, $("$bin/zentrix-cli" scan "$work/big.rec" | wc -l) channels"
echo "cat FILE > /dev/null:   $best_cat s (best of 3, warm)"
echo "zentrix-cli scan:       $best_scan s (best of 3, warm)"
echo "scan / cat:             $(calc "100 * $best_scan / $best_cat") % (target < 5 %)"

echo
echo "== 4. info against the export walk alone: the same ~1 GiB recording, warm"
mkdir -p "$work/avi-walk"
best_walk=; best_info=
for _ in 1 2 3; do
  # Channel 64 has no frames: the export walks the file and writes nothing.
  t=$(seconds "$bin/zentrix-cli" export "$work/big.rec" "$work/avi-walk" --channels 64 2>/dev/null)
  if [ -z "$best_walk" ] || less "$t" "$best_walk"; then best_walk=$t; fi
  t=$(seconds "$bin/zentrix-cli" info "$work/big.rec")
  if [ -z "$best_info" ] || less "$t" "$best_info"; then best_info=$t; fi
done
echo "export walk alone:      $best_walk s (best of 3, warm)"
echo "zentrix-cli info:       $best_info s (best of 3, warm)"
echo "info / export walk:     $(calc "$best_info / $best_walk") (target <= 1.5)"
rm -f "$work/big.rec"
echo
fi

if wanted 3; then
echo "== 3. peak resident memory of an export: 1 minute against 10 minutes"
for minutes in 1 10; do
  "$bin/zentrix-mkrec" --quiet --channels 1 --codecs 6 --sizes 640x480 --fps 10 \
    --key-interval 20 --duration $((minutes * 60)) "$work/rss-$minutes.rec"
  mkdir -p "$work/avi-rss-$minutes"
  rss=$(/usr/bin/time -v "$bin/zentrix-cli" export "$work/rss-$minutes.rec" \
    "$work/avi-rss-$minutes" 2>&1 >/dev/null | awk -F': ' '/Maximum resident set size/ {print $2}')
  echo "export of $minutes minute(s):  peak RSS $rss KiB ($(stat -c %s "$work/rss-$minutes.rec") bytes of recording)"
  rm -f "$work/rss-$minutes.rec"
done
echo
fi

if wanted 1 && wanted 5; then
echo "== 5. --report on the transcode of 1. ($export_minutes minutes of 640x480 H.264)"
echo "export:                 wall $best_wall_z s (best of 3)"
echo "export --report:        wall $best_wall_r s (best of 3)"
echo "added by --report:      $(calc "100 * ($best_wall_r - $best_wall_z) / $best_wall_z") % (target <= 15 %)"
rm -f "$work/report.json"
echo
fi

# Peak resident set size in KiB of a command, its output discarded.
peak_rss() {
  /usr/bin/time -f '%M' -o "$work/rss.txt" "$@" >/dev/null
  tail -n 1 "$work/rss.txt"
}

if wanted 6; then
echo "== 6. export --copy against cp: a >= 1 GiB recording of 4 channels"
# H.264, MPEG-4, Motion JPEG and H.263 at 640x480; one minute written over
# and over up to 1 GiB is still one recording (its segments go on).
"$bin/zentrix-mkrec" --quiet --channels 1-4 --codecs 6,2,0,1 --sizes 640x480 --fps 25 \
  --key-interval 25 --duration 60 --seed 4 "$work/piece.rec"
piece_size=$(stat -c %s "$work/piece.rec")
copies=$(( (1073741824 + piece_size - 1) / piece_size ))
rm -f "$work/copy.rec"
for _ in $(seq "$copies"); do cat "$work/piece.rec" >> "$work/copy.rec"; done
rm -f "$work/piece.rec"
size=$(stat -c %s "$work/copy.rec")
cat "$work/copy.rec" >/dev/null  # warm the page cache
# Each side three times, alternately, into the same folder (emptied and
# synced between runs, not timed); the best wall time counts.
best_cp=; best_copy=
for _ in 1 2 3; do
  rm -rf "$work/avi-copy"; mkdir -p "$work/avi-copy"; sync
  t=$(seconds cp "$work/copy.rec" "$work/avi-copy/copy.rec")
  if [ -z "$best_cp" ] || less "$t" "$best_cp"; then best_cp=$t; fi
  rm -rf "$work/avi-copy"; mkdir -p "$work/avi-copy"; sync
  t=$(seconds "$bin/zentrix-cli" export "$work/copy.rec" "$work/avi-copy" --copy)
  if [ -z "$best_copy" ] || less "$t" "$best_copy"; then best_copy=$t; fi
done
avi_bytes=$(du -cb "$work"/avi-copy/*.avi | tail -n 1 | cut -f 1)
echo "recording:              $size bytes, 4 channels"
echo "cp FILE OUTDIR:         $best_cp s (best of 3, warm)"
echo "zentrix-cli --copy:     $best_copy s (best of 3, warm), $avi_bytes bytes of AVI"
echo "copy / cp:              $(calc "$best_copy / $best_cp") (target <= 1.5)"
rm -rf "$work/copy.rec" "$work/avi-copy"
echo
fi

if wanted 7; then
echo "== 7. peak resident memory of export --copy: 10 minutes against 60 minutes"
# One channel of 320x240 H.264 at 10 frames a second; 60 minutes are the 10
# minutes six times over (the times repeat, the segment goes on).
"$bin/zentrix-mkrec" --quiet --channels 1 --codecs 6 --sizes 320x240 --fps 10 \
  --duration 600 "$work/copy-10.rec"
for _ in 1 2 3 4 5 6; do cat "$work/copy-10.rec"; done >"$work/copy-60.rec"
for minutes in 10 60; do
  rm -rf "$work/avi-rss"; mkdir -p "$work/avi-rss"
  rss=$(peak_rss "$bin/zentrix-cli" export "$work/copy-$minutes.rec" "$work/avi-rss" --copy)
  frames=$((minutes * 600))
  echo "--copy of $minutes minutes:   peak RSS $rss KiB ($frames frames; the AVI index holds $((frames * 16 / 1024)) KiB of them)"
done
rm -rf "$work"/copy-*.rec "$work/avi-rss"
echo
fi

if wanted 8; then
echo "== 8. --captions on a transcode: one 640x480 H.264 channel, 1 minute at 25 frames/s"
"$bin/zentrix-mkrec" --quiet --channels 1 --codecs 6 --sizes 640x480 --fps 25 \
  --key-interval 50 --duration 60 "$work/captions.rec"
best_plain=; best_captions=
for _ in 1 2 3; do
  rm -rf "$work/avi-captions"; mkdir -p "$work/avi-captions"
  t=$(seconds "$bin/zentrix-cli" export "$work/captions.rec" "$work/avi-captions")
  if [ -z "$best_plain" ] || less "$t" "$best_plain"; then best_plain=$t; fi
  rm -rf "$work/avi-captions"; mkdir -p "$work/avi-captions"
  t=$(seconds "$bin/zentrix-cli" export "$work/captions.rec" "$work/avi-captions" --captions)
  if [ -z "$best_captions" ] || less "$t" "$best_captions"; then best_captions=$t; fi
done
echo "export:                 $best_plain s (best of 3)"
echo "export --captions:      $best_captions s (best of 3), $(du -cb "$work"/avi-captions/*.smi | tail -n 1 | cut -f 1) bytes of captions"
echo "--captions adds:        $(calc "100 * ($best_captions - $best_plain) / $best_plain") % (target <= 10 %)"
rm -rf "$work/captions.rec" "$work/avi-captions"
fi

if wanted 9; then
echo "== 9. parallel export: 640x480 H.264 at 30 frames/s, 60 s a channel"
echo "processors:             $(nproc) usable, load before: $(cut -d ' ' -f 1-3 /proc/loadavg)"
"$bin/zentrix-mkrec" --quiet --channels 1-4 --codecs 6 --sizes 640x480 --fps 30 --key-interval 60 \
  --duration 60 --elementary "$work/par" "$work/par4.rec"
"$bin/zentrix-mkrec" --quiet --channels 1 --codecs 6 --sizes 640x480 --fps 30 --key-interval 60 \
  --duration 60 --elementary "$work/one" "$work/par1.rec"
cat "$work"/par4.rec "$work"/par-ch*.h264 "$work/par1.rec" "$work/one-ch1.h264" >/dev/null
z4=$(best_of_3 zentrix_export "$work/par4.rec")
f4=$(best_of_3 ffmpeg_each_single_thread "$work"/par-ch{1,2,3,4}.h264)
z1=$(best_of_3 zentrix_export "$work/par1.rec")
f1=$(best_of_3 ffmpeg_transcode 30 "$work/one-ch1.h264" "$work/ffmpeg.avi")
echo "4 channels:             zentrix-cli export $z4 s, four ffmpeg -threads 1 one after another $f4 s"
echo "1 channel:              zentrix-cli export $z1 s, one ffmpeg with its default threads $f1 s"
echo "ratio, 4 channels:      $(calc "$f4 / $z4") (target >= 1.85)"
echo "ratio, 1 channel:       $(calc "$f1 / $z1") (target >= 1.4)"
echo "load after:             $(cut -d ' ' -f 1-3 /proc/loadavg)"
rm -f "$work"/par4.rec "$work"/par1.rec "$work"/par-ch*.h264 "$work/one-ch1.h264"
echo
fi

if wanted 10; then
echo "== 10. peak resident memory of an export of 16 channels with --jobs 2"
"$bin/zentrix-mkrec" --quiet --channels 1-16 --codecs 6 --sizes 640x480 --fps 10 \
  --key-interval 20 --duration 60 "$work/rss-16.rec"
mkdir -p "$work/avi-rss-16"
rss=$(/usr/bin/time -v "$bin/zentrix-cli" export "$work/rss-16.rec" "$work/avi-rss-16" --jobs 2 \
  2>&1 >/dev/null | awk -F': ' '/Maximum resident set size/ {print $2}')
echo "16 channels, --jobs 2:  peak RSS $rss KiB ($(stat -c %s "$work/rss-16.rec") bytes of recording)"
rm -f "$work/rss-16.rec"
fi

rm -rf "$work"/avi-* "$work/speed.rec" "$work/speed-ch1.h264" "$work/ffmpeg.avi"
