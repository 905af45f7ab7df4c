#!/usr/bin/env bash
# Sends one short message to many recipients (100 by default) through a loopback relay that
# delays each direction (20 ms by default), from an account that says EHLO (a login name),
# to the server that announces PIPELINING (scripts/testservers.py, SMTP_EXT_PORT): TZnSMTP
# writes MAIL FROM and every RCPT TO at once; curl, given the same recipients, sends one
# RCPT TO per round trip. Prints the median seconds of each.
#
#   bench/smtp_recipients.sh [BUILD_DIR]     env: RECIPIENTS (100), DELAY_MS (20), ROUNDS (3)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
recipients=${RECIPIENTS:-100}
delay_ms=${DELAY_MS:-20}
rounds=${ROUNDS:-3}

driver=$build/bench/bench_smtp_send
# shellcheck source=bench/servers.sh
. "$root/bench/servers.sh"
bench_begin bench_smtp_send
bench_servers --user bench:secret
bench_relay "$SMTP_EXT_PORT" "$delay_ms"
port=$relay_port

"$driver" --recipients "$recipients" --compose-to "$work/message.eml"
rcpts=()
for i in $(seq "$recipients"); do rcpts+=(--mail-rcpt "rcpt$i@example.org"); done

now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.4f\\n\", $1 }"; }
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
run_corvane() {
  "$driver" --port "$port" --recipients "$recipients" --auth-user bench --auth-pass secret >"$work/corvane.out"
  sed -n 's/.*seconds=\([0-9.]*\).*/\1/p' "$work/corvane.out" >>"$work/corvane.times"
  sed -n 's/.*accepted=\([0-9.]*\).*/\1/p' "$work/corvane.out" >>"$work/accepted.times"
}
run_curl() {
  local t0; t0=$(now)
  curl -sS --url "smtp://127.0.0.1:$port" --user bench:secret --mail-from ann@example.org "${rcpts[@]}" \
    --upload-file "$work/message.eml"
  calc "$(now) - $t0" >>"$work/curl.times"
}

for _ in $(seq "$rounds"); do
  run_corvane
  run_curl
done
received=$(ls "$work/servers/smtp" | wc -l)
printf '%s recipients, relay delay %s ms each way, %s rounds each (median), %s messages received\n' \
  "$recipients" "$delay_ms" "$rounds" "$received"
printf '%-28s %8s\n' client seconds
printf '%-28s %8.3f\n' "corvane, click to accepted" "$(median <"$work/accepted.times")"
printf '%-28s %8.3f\n' "corvane, whole session" "$(median <"$work/corvane.times")"
printf '%-28s %8.3f\n' "curl, whole session" "$(median <"$work/curl.times")"
