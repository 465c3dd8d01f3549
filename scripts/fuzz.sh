#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build for a share of the given time,
# starting from the seed corpus in tests/fuzz/corpus/<target>.
# Usage: scripts/fuzz.sh BUILD_DIR SECONDS
set -euo pipefail
build=$1
seconds=$2
root=$(cd "$(dirname "$0")/.." && pwd)
rm -f "$build"/crash-* "$build"/leak-* "$build"/timeout-* "$build"/oom-*
targets=$(find "$build/bin" -maxdepth 1 -name 'fuzz_*' -type f -perm -u+x | sort)
[ -n "$targets" ] || { echo "fuzz: no targets in $build/bin" >&2; exit 1; }
count=$(echo "$targets" | wc -l)
share=$(( seconds / count )); [ "$share" -ge 5 ] || share=5
for t in $targets; do
  name=$(basename "$t")
  work=$(mktemp -d)
  seeds="$root/tests/fuzz/corpus/${name#fuzz_}"
  [ -d "$seeds" ] && cp -r "$seeds"/. "$work"/
  echo "fuzz: $name for ${share} s"
  "$t" -max_total_time="$share" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$build/" "$work" 2>&1 | grep -E 'stat::number_of_executed_units|DONE.*cov:|ERROR|SUMMARY|Done' || true
  # libFuzzer exits non-zero on a crash, leak or timeout; the artifact tells which.
  if ls "$build"/crash-* "$build"/leak-* "$build"/timeout-* "$build"/oom-* >/dev/null 2>&1; then
    echo "fuzz: $name found a failing input:" >&2
    ls "$build"/crash-* "$build"/leak-* "$build"/timeout-* "$build"/oom-* 2>/dev/null >&2
    exit 1
  fi
  rm -rf "$work"
done
