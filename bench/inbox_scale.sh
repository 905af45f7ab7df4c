#!/usr/bin/env bash
# The window over inboxes of 10,000 and 100,000 messages of 40 body lines and of 50,000
# of 300 (12 header lines each), through build/bench/bench_inbox_scale: start-up of the
# whole program to the list shown and the memory the window added (median of RUNS starts,
# and one start with the store out of the page cache), open (double click), delete and
# store one message (median of five, and the longest), the longest the window did not
# answer while those deletions reached the file, the close, and the reading of the
# store when its index is missing, from the page cache and from the disk (MB/s of store).
# With PEER_BUILD=<build folder of another Corvane> (for example the commit before the
# index, built in a folder of its own with this file in its bench/) the same runs for it,
# first, on the same files; it has no index to rebuild. Nothing is asserted: the goals are
# printed beside the figures. Environment: RUNS (3), CASES ("10000:40 100000:40 50000:300",
# messages:body lines), BENCH_DIR (/tmp): where the stores lie while they are measured
# (up to about 1 GB at a time); they are removed after each case.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
peer=${PEER_BUILD:-}
runs=${RUNS:-3}
cases=${CASES:-"10000:40 100000:40 50000:300"}
driver=$build/bench/bench_inbox_scale
[ -x "$driver" ] || ninja -C "$build" bench_inbox_scale >/dev/null

work=$(mktemp -d "${BENCH_DIR:-/tmp}/inbox_scale.XXXXXX")
trap 'rm -rf "$work"' EXIT
# The offscreen platform's notes about window hints are no figures.
export QT_LOGGING_RULES="default.warning=false" XDG_RUNTIME_DIR=$work

field() { tr ' ' '\n' | sed -n "s/^$1=//p"; }
median() { sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
# The longest the window did not answer while the deletions reached the file in the
# background; "-" when they were there already (a small store, or a build that writes
# them before it answers).
stall() {
  local ms
  ms=$(echo "$1" | field stall_ms)
  if [ -n "$ms" ] && [ "$(echo "$1" | field compacted_s)" != "0.000" ]; then printf "%.1f ms" "$ms"; else echo "-"; fi
}
mb() { awk -v k="$1" 'BEGIN {printf "%.0f MB", k/1024}'; }

# label driver dir count size: one row of figures. The reading of a store without its
# index is timed as the window's start-up without the index less its start-up with it.
measure() {
  local label=$1 run=$2 dir=$3 count=$4 size=$5 rebuild="-" line i cold="" warm=""
  rm -f "$dir"/mailin.txt.index "$dir"/mailin.txt.deleted
  if [ "$label" = "this build" ]; then
    cold=$("$run" startup "$dir" "$count" --cold | field window_s)
    rm -f "$dir"/mailin.txt.index
    warm=$("$run" startup "$dir" "$count" | field window_s)
  fi
  local starts=() windows=() memories=()
  for i in $(seq "$runs"); do
    line=$("$run" startup "$dir" "$count")
    starts+=("$(echo "$line" | field startup_s)")
    windows+=("$(echo "$line" | field window_s)")
    memories+=("$(echo "$line" | field memory_added_kib)")
  done
  local window coldStart coldWindow
  window=$(printf '%s\n' "${windows[@]}" | median)
  line=$("$run" startup "$dir" "$count" --cold)
  coldStart=$(echo "$line" | field startup_s)
  coldWindow=$(echo "$line" | field window_s)
  if [ -n "$warm" ]; then
    rebuild=$(awk -v s="$size" -v w="$warm" -v c="$cold" -v b="$window" -v cb="$coldWindow" \
      'BEGIN {printf "%.0f MB/s (%.2f s), from disk %.0f MB/s", s/1e6/(w-b), w-b, s/1e6/(c-cb)}')
  fi
  line=$("$run" operations "$dir" "$count")
  printf "  %-11s %7.3f s %7.3f s %7.3f s %8s %6.1f ms %6.1f ms %6.1f ms %6.1f ms %6.1f ms %6.1f ms %9s %6.2f s  %s\n" \
    "$label" "$(printf '%s\n' "${starts[@]}" | median)" "$window" "$coldStart" \
    "$(mb "$(printf '%s\n' "${memories[@]}" | median)")" \
    "$(echo "$line" | field open_ms)" "$(echo "$line" | field open_max_ms)" \
    "$(echo "$line" | field delete_ms)" "$(echo "$line" | field delete_max_ms)" \
    "$(echo "$line" | field store_ms)" "$(echo "$line" | field store_max_ms)" \
    "$(stall "$line")" "$(echo "$line" | field close_s)" "$rebuild"
}

echo "goals: start-up <= 0.3 s, memory added <= 100 MB, open <= 20 ms, delete <= 50 ms, store <= 5 ms,"
echo "       reading a store without its index >= 200 MB/s"
for c in $cases; do
  count=${c%%:*}
  lines=${c##*:}
  dir=$work/$count-$lines
  mkdir -p "$dir"
  "$driver" generate "$dir" "$count" "$lines"
  size=$(stat -c %s "$dir/mailin.txt")
  echo
  printf "%d messages of %d body lines, %.0f MB\n" "$count" "$lines" "$(awk -v s="$size" 'BEGIN {print s/1e6}')"
  printf "  %-11s %9s %9s %9s %8s %9s %9s %9s %9s %9s %9s %9s %8s  %s\n" "" "start-up" "window" "cold" "memory" \
    "open" "(max)" "delete" "(max)" "store" "(max)" "stall" "close" "index rebuild"
  if [ -n "$peer" ]; then measure "peer" "$peer/bench/bench_inbox_scale" "$dir" "$count" "$size"; fi
  measure "this build" "$driver" "$dir" "$count" "$size"
  rm -rf "$dir"
done
