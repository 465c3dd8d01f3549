#!/usr/bin/env bash
# Benchmarks (never run in CI); prints figures:
#  1. export speed of one 640x480 H.264 channel on one thread against ffmpeg -threads 1
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

calc() { awk "BEGIN { printf \"%.3f\", $1 }"; }

# Runs the named commands (functions of this script) in turn, ROUNDS times
# over, so that a change in the load of a shared machine falls on each
# alike. Before each run, untimed, the output folder $out is emptied and the
# disk synced. Sets wall[NAME] and cpu[NAME] to each one's best wall and
# processor (user + system) seconds.
out=$work/avi-out
declare -A wall cpu
alternate() {
  local rounds=$1 name w u s
  shift
  for name in "$@"; do wall[$name]=; cpu[$name]=; done
  for ((round = 0; round < rounds; round++)); do
    for name in "$@"; do
      rm -rf "$out"; mkdir -p "$out"; sync
      { time "$name" >/dev/null 2>&3; } 3>&2 2>"$work/time.txt"
      read -r w u s < <(tail -n 1 "$work/time.txt")
      if [ -z "${wall[$name]}" ] || less "$w" "${wall[$name]}"; then wall[$name]=$w; fi
      if [ -z "${cpu[$name]}" ] || less "$(calc "$u + $s")" "${cpu[$name]}"; then
        cpu[$name]=$(calc "$u + $s")
      fi
    done
  done
}
TIMEFORMAT='%3R %3U %3S'
less() { awk "BEGIN { exit !($1 < $2) }"; }
# Peak resident set size in KiB of a command, its output discarded.
peak_rss() {
  /usr/bin/time -f '%M' -o "$work/rss.txt" "$@" >/dev/null
  tail -n 1 "$work/rss.txt"
}

# Writes $work/piece.rec over and over into FILE up to 1 GiB (still one
# recording: its times repeat, its segments go on), removes the piece and
# reads FILE once into the page cache.
repeat_to_gib() {
  local piece copies
  piece=$(stat -c %s "$work/piece.rec")
  copies=$(( (1073741824 + piece - 1) / piece ))
  rm -f "$1"
  for _ in $(seq "$copies"); do cat "$work/piece.rec" >> "$1"; done
  rm -f "$work/piece.rec"
  cat "$1" >/dev/null
}

# The same work for ffmpeg: the same access units, MPEG-4 at quantiser 3
# without B-frames, intra frames where the source has them, into an AVI
# file under the FourCC xvid, $work/ffmpeg-INPUT.avi. Arguments: the input's
# frame rate, the input, and options for threads (given before the input and
# the output).
ffmpeg_transcode() {
  local rate=$1 input=$2
  shift 2
  ffmpeg -nostdin -v error -y "$@" -f h264 -framerate "$rate" -i "$input" "$@" -c:v mpeg4 \
    -q:v 3 -bf 0 -g 100000 -force_key_frames source -sc_threshold 1000000000 -vtag xvid \
    "$work/ffmpeg-${input##*/}.avi"
}

if wanted 1; then
echo "== 1. export speed: one 640x480 H.264 channel, $export_minutes minutes at 25 frames/s"
"$bin/zentrix-mkrec" --quiet --channels 1 --codecs 6 --sizes 640x480 --fps 25 --key-interval 50 \
  --duration $((export_minutes * 60)) --elementary "$work/speed" "$work/speed.rec"
cat "$work/speed.rec" "$work/speed-ch1.h264" >/dev/null
# One thread, as ffmpeg's (item 9 measures the parallel export).
zentrix_plain() { "$bin/zentrix-cli" export "$work/speed.rec" "$out" --jobs 1; }
# The same export with a report (hashes of the recording and the files).
zentrix_report() {
  "$bin/zentrix-cli" export "$work/speed.rec" "$out" --jobs 1 --report "$work/report.json"
}
ffmpeg_single() { ffmpeg_transcode 25 "$work/speed-ch1.h264" -threads 1; }
alternate 3 ffmpeg_single zentrix_report zentrix_plain
best_wall_z=${wall[zentrix_plain]}; best_cpu_z=${cpu[zentrix_plain]}
best_wall_f=${wall[ffmpeg_single]}; best_cpu_f=${cpu[ffmpeg_single]}
best_wall_r=${wall[zentrix_report]}
frames=$(ffprobe -v error -count_packets -select_streams v:0 -show_entries stream=nb_read_packets \
  -of csv=p=0 "$work/speed-ch1.h264")
zsize=$(du -cb "$out"/*.avi | tail -n 1 | cut -f 1)
fsize=$(stat -c %s "$work/ffmpeg-speed-ch1.h264.avi")
echo "frames:                 $frames"
echo "zentrix-cli export:     wall $best_wall_z s, processor $best_cpu_z s ($(calc "$frames / $best_wall_z") frames/s), $zsize bytes of AVI"
echo "ffmpeg -threads 1:      wall $best_wall_f s, processor $best_cpu_f s ($(calc "$frames / $best_wall_f") frames/s), $fsize bytes of AVI"
echo "speed ratio:            wall $(calc "$best_wall_f / $best_wall_z"), processor $(calc "$best_cpu_f / $best_cpu_z") (ffmpeg time / zentrix time; target >= 1.0)"
echo
fi

if wanted 2 || wanted 4; then
echo "== 2. scan speed: a ~1 GiB recording"
"$bin/zentrix-mkrec" --quiet --channels 1-16 --codecs 6 --sizes 352x288 --fps 12 \
  --key-interval 12 --duration 100 --seed 3 "$work/piece.rec"
repeat_to_gib "$work/big.rec"
size=$(stat -c %s "$work/big.rec")
read_file() { cat "$work/big.rec"; }
scan_file() { "$bin/zentrix-cli" scan "$work/big.rec"; }
alternate 3 read_file scan_file
best_cat=${wall[read_file]}; best_scan=${wall[scan_file]}
echo "recording:              $size bytes, $("$bin/zentrix-cli" scan "$work/big.rec" | wc -l) channels"
echo "cat FILE > /dev/null:   $best_cat s (best of 3, warm)"
echo "zentrix-cli scan:       $best_scan s (best of 3, warm)"
echo "scan / cat:             $(calc "100 * $best_scan / $best_cat") % (target < 5 %)"

echo
echo "== 4. info against the export walk alone: the same ~1 GiB recording, warm"
# Channel 64 has no frames: the export walks the file and writes nothing.
walk_only() { "$bin/zentrix-cli" export "$work/big.rec" "$out" --channels 64 2>/dev/null; }
info_file() { "$bin/zentrix-cli" info "$work/big.rec"; }
alternate 3 walk_only info_file
best_walk=${wall[walk_only]}; best_info=${wall[info_file]}
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
  rm -rf "$out"; mkdir -p "$out"
  rss=$(peak_rss "$bin/zentrix-cli" export "$work/rss-$minutes.rec" "$out")
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

if wanted 6; then
echo "== 6. export --copy against cp: a >= 1 GiB recording of 4 channels"
# H.264, MPEG-4, Motion JPEG and H.263 at 640x480, one minute over and over.
"$bin/zentrix-mkrec" --quiet --channels 1-4 --codecs 6,2,0,1 --sizes 640x480 --fps 25 \
  --key-interval 25 --duration 60 --seed 4 "$work/piece.rec"
repeat_to_gib "$work/copy.rec"
size=$(stat -c %s "$work/copy.rec")
# Each side three times, alternately, into the same folder.
copy_file() { cp "$work/copy.rec" "$out/copy.rec"; }
copy_export() { "$bin/zentrix-cli" export "$work/copy.rec" "$out" --copy; }
alternate 3 copy_file copy_export
best_cp=${wall[copy_file]}; best_copy=${wall[copy_export]}
avi_bytes=$(du -cb "$out"/*.avi | tail -n 1 | cut -f 1)
echo "recording:              $size bytes, 4 channels"
echo "cp FILE OUTDIR:         $best_cp s (best of 3, warm)"
echo "zentrix-cli --copy:     $best_copy s (best of 3, warm), $avi_bytes bytes of AVI"
echo "copy / cp:              $(calc "$best_copy / $best_cp") (target <= 1.5)"
rm -f "$work/copy.rec"
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
  rm -rf "$out"; mkdir -p "$out"
  rss=$(peak_rss "$bin/zentrix-cli" export "$work/copy-$minutes.rec" "$out" --copy)
  frames=$((minutes * 600))
  echo "--copy of $minutes minutes:   peak RSS $rss KiB ($frames frames; the AVI index holds $((frames * 16 / 1024)) KiB of them)"
done
rm -f "$work"/copy-*.rec
echo
fi

if wanted 8; then
echo "== 8. --captions on a transcode: one 640x480 H.264 channel, 1 minute at 25 frames/s"
"$bin/zentrix-mkrec" --quiet --channels 1 --codecs 6 --sizes 640x480 --fps 25 \
  --key-interval 50 --duration 60 "$work/captions.rec"
captions_none() { "$bin/zentrix-cli" export "$work/captions.rec" "$out"; }
captions_too() { "$bin/zentrix-cli" export "$work/captions.rec" "$out" --captions; }
alternate 3 captions_none captions_too
best_plain=${wall[captions_none]}; best_captions=${wall[captions_too]}
echo "export:                 $best_plain s (best of 3)"
echo "export --captions:      $best_captions s (best of 3), $(du -cb "$out"/*.smi | tail -n 1 | cut -f 1) bytes of captions"
echo "--captions adds:        $(calc "100 * ($best_captions - $best_plain) / $best_plain") % (target <= 10 %)"
rm -f "$work/captions.rec"
fi

if wanted 9; then
echo "== 9. parallel export: 640x480 H.264 at 30 frames/s, 60 s a channel"
echo "processors:             $(nproc) usable, load before: $(cut -d ' ' -f 1-3 /proc/loadavg)"
"$bin/zentrix-mkrec" --quiet --channels 1-4 --codecs 6 --sizes 640x480 --fps 30 --key-interval 60 \
  --duration 60 --elementary "$work/par" "$work/par4.rec"
"$bin/zentrix-mkrec" --quiet --channels 1 --codecs 6 --sizes 640x480 --fps 30 --key-interval 60 \
  --duration 60 --elementary "$work/one" "$work/par1.rec"
cat "$work"/par4.rec "$work"/par-ch*.h264 "$work/par1.rec" "$work/one-ch1.h264" >/dev/null
# Five rounds: the load of a shared machine varies more than a transcode.
four_channels() { "$bin/zentrix-cli" export "$work/par4.rec" "$out"; }
four_ffmpegs() {
  for input in "$work"/par-ch{1,2,3,4}.h264; do ffmpeg_transcode 30 "$input" -threads 1; done
}
# What this machine gives two independent processes: the same four
# transcodes, two at a time.
four_ffmpegs_two_at_a_time() {
  local pair first second
  for pair in 12 34; do
    ffmpeg_transcode 30 "$work/par-ch${pair:0:1}.h264" -threads 1 & first=$!
    ffmpeg_transcode 30 "$work/par-ch${pair:1:1}.h264" -threads 1 & second=$!
    wait "$first"; wait "$second"
  done
}
one_channel() { "$bin/zentrix-cli" export "$work/par1.rec" "$out"; }
one_ffmpeg() { ffmpeg_transcode 30 "$work/one-ch1.h264"; }
alternate 5 four_channels four_ffmpegs four_ffmpegs_two_at_a_time one_channel one_ffmpeg
echo "4 channels:             zentrix-cli export ${wall[four_channels]} s (processor ${cpu[four_channels]} s), four ffmpeg -threads 1 one after another ${wall[four_ffmpegs]} s (processor ${cpu[four_ffmpegs]} s)"
echo "1 channel:              zentrix-cli export ${wall[one_channel]} s (processor ${cpu[one_channel]} s), one ffmpeg with its default threads ${wall[one_ffmpeg]} s (processor ${cpu[one_ffmpeg]} s)"
echo "two ffmpegs at a time:  ${wall[four_ffmpegs_two_at_a_time]} s (processor ${cpu[four_ffmpegs_two_at_a_time]} s): this machine runs two processes side by side at $(calc "${wall[four_ffmpegs]} / ${wall[four_ffmpegs_two_at_a_time]}") x the speed of one"
echo "ratio, 4 channels:      $(calc "${wall[four_ffmpegs]} / ${wall[four_channels]}") (target >= 1.85)"
echo "ratio, 1 channel:       $(calc "${wall[one_ffmpeg]} / ${wall[one_channel]}") (target >= 1.4)"
echo "load after:             $(cut -d ' ' -f 1-3 /proc/loadavg)"
rm -f "$work"/par4.rec "$work"/par1.rec "$work"/par-ch*.h264 "$work/one-ch1.h264"
echo
fi

if wanted 10; then
echo "== 10. peak resident memory of an export of 16 channels with --jobs 2"
"$bin/zentrix-mkrec" --quiet --channels 1-16 --codecs 6 --sizes 640x480 --fps 10 \
  --key-interval 20 --duration 60 "$work/rss-16.rec"
rm -rf "$out"; mkdir -p "$out"
rss=$(peak_rss "$bin/zentrix-cli" export "$work/rss-16.rec" "$out" --jobs 2)
echo "16 channels, --jobs 2:  peak RSS $rss KiB ($(stat -c %s "$work/rss-16.rec") bytes of recording)"
rm -f "$work/rss-16.rec"
fi

rm -rf "$work"/avi-* "$work/speed.rec" "$work/speed-ch1.h264" "$work"/ffmpeg-*.avi
