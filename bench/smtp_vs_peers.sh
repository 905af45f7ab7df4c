#!/usr/bin/env bash
# Sends one message with a large attachment (25 MB by default) to a local aiosmtpd server
# (scripts/testservers.py) through TZnSMTP, then the same composed message with curl and
# with Python's smtplib, and prints seconds, MB/s, ratios and our peak memory.
#
#   bench/smtp_vs_peers.sh [BUILD_DIR]     env: SIZE_MB (25), ROUNDS (3)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
size_mb=${SIZE_MB:-25}
rounds=${ROUNDS:-3}

driver=$build/bench/bench_smtp_send
# shellcheck source=bench/servers.sh
. "$root/bench/servers.sh"
bench_begin bench_smtp_send
bench_servers --user bench:secret

head -c $((size_mb * 1024 * 1024)) /dev/urandom >"$work/attachment.bin"
"$driver" --attach "$work/attachment.bin" --compose-to "$work/message.eml"
message_bytes=$(stat -c %s "$work/message.eml")

now() { date +%s.%N; }
run_corvane() {
  "$driver" --port "$SMTP_PORT" --attach "$work/attachment.bin" >"$work/corvane.out"
  sed -n 's/.*seconds=\([0-9.]*\).*/\1/p' "$work/corvane.out"
}
run_curl() {
  local t0; t0=$(now)
  curl -sS --url "smtp://127.0.0.1:$SMTP_PORT" --mail-from ann@example.org --mail-rcpt sink@example.org \
    --upload-file "$work/message.eml"
  calc "$(now) - $t0"
}
run_python() {
  "$python" - "$SMTP_PORT" "$work/message.eml" <<'PY'
import smtplib, sys, time
data = open(sys.argv[2], "rb").read()
start = time.monotonic()
with smtplib.SMTP("127.0.0.1", int(sys.argv[1])) as s:
    s.sendmail("ann@example.org", ["sink@example.org"], data)
print(f"{time.monotonic() - start:.3f}")
PY
}
calc() { awk "BEGIN { printf \"%.4f\\n\", $1 }"; }
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

# Rounds interleave the clients, so a change of load on the machine hits all of them alike.
for _ in $(seq "$rounds"); do
  for client in corvane curl python; do "run_$client" >>"$work/$client.times"; done
done
declare -A results
for client in corvane curl python; do results[$client]=$(median <"$work/$client.times"); done
received=$(ls "$work/servers/smtp" | wc -l)
peak_kb=$(sed -n 's/.*peak_kb=\([0-9]*\).*/\1/p' "$work/corvane.out")
cpu=$(sed -n 's/.*cpu=\([0-9.]*\).*/\1/p' "$work/corvane.out")

mb=$(calc "$message_bytes / 1048576")
printf 'attachment %s MB, message %.1f MB as sent, %s rounds each (median), %s messages received\n' \
  "$size_mb" "$mb" "$rounds" "$received"
printf '%-8s %8s %8s\n' client seconds MB/s
for client in corvane curl python; do
  printf '%-8s %8.3f %8.1f\n' "$client" "${results[$client]}" "$(calc "$mb / ${results[$client]}")"
done
fastest=$(printf '%s\n%s\n' "${results[curl]}" "${results[python]}" | sort -g | head -1)
printf 'corvane / curl   = %.2f\n' "$(calc "${results[corvane]} / ${results[curl]}")"
printf 'corvane / python = %.2f\n' "$(calc "${results[corvane]} / ${results[python]}")"
printf 'corvane / faster peer = %.2f (at most 1.00 means no slower)\n' \
  "$(calc "${results[corvane]} / $fastest")"
printf 'corvane peak memory %.1f MB for a %.1f MB message; CPU %.3f s (composing included)\n' \
  "$(calc "$peak_kb / 1024")" "$mb" "$cpu"
