#!/usr/bin/env bash
# Times our base64 coder against coreutils base64 on the same 64 MB of random data,
# in the same run, and prints MB/s and ratios. Usage: bench/coder_vs_coreutils.sh [build-folder]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
case $build in /*) ;; *) build=$root/$build ;; esac

if [ ! -x "$build/bench/bench_coder" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  ninja -C "$build" -j2 bench_coder >/dev/null
fi
driver=$build/bench/bench_coder

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c $((64 * 1024 * 1024)) /dev/urandom >"$work/raw"
megabytes=64
runs=3

# Best wall time of $runs runs of a command, in seconds.
best() {
  local best_time= start end t
  for _ in $(seq "$runs"); do
    start=$(date +%s.%N)
    "$@"
    end=$(date +%s.%N)
    t=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f", b - a }')
    if [ -z "$best_time" ] || awk -v t="$t" -v b="$best_time" 'BEGIN { exit !(t < b) }'; then best_time=$t; fi
  done
  echo "$best_time"
}

ours_encode=$(best "$driver" --encode "$work/raw" "$work/ours.b64")
theirs_encode=$(best sh -c "base64 -w 60 '$work/raw' >'$work/theirs.b64'")
ours_decode=$(best "$driver" --decode "$work/ours.b64" "$work/ours.raw")
theirs_decode=$(best sh -c "base64 -d '$work/theirs.b64' >'$work/theirs.raw'")

cmp -s "$work/raw" "$work/ours.raw" || { echo "our decode does not give back the data" >&2; exit 1; }
cmp -s "$work/raw" "$work/theirs.raw" || { echo "coreutils decode does not give back the data" >&2; exit 1; }
tr -d '\r' <"$work/ours.b64" | cmp -s - "$work/theirs.b64" || { echo "encoded lines differ" >&2; exit 1; }

row() {
  awk -v name="$1" -v ours="$2" -v theirs="$3" -v mb="$megabytes" \
    'BEGIN { printf "%-8s %14.0f %14.0f %7.2fx\n", name, mb / ours, mb / theirs, theirs / ours }'
}
printf '%-8s %14s %14s %8s\n' "" "ours MB/s" "coreutils MB/s" "ratio"
row encode "$ours_encode" "$theirs_encode"
row decode "$ours_decode" "$theirs_decode"
echo "(ratio above 1: ours is faster; data rates are of the 64 MB of raw data; best of $runs runs each)"
