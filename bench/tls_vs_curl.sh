#!/usr/bin/env bash
# Our POP3 and SMTP components against curl over TLS, on the same local test servers
# (scripts/testservers.py --tls) in one run:
#   (a) receive COUNT (1,000) messages of 20 KB over POP3S, one connection per client;
#   (b) send one message with a SIZE_MB (25) MB attachment over SMTPS, plus the same with a
#       SMALL_MB (1) MB attachment to show whether our memory grows with the attachment.
# Prints seconds (median of RUNS rounds, clients interleaved, after one warm-up each),
# the time ratio ours / curl (goal: at most 1.00) and peak resident memory (as
# /usr/bin/time sees it). Nothing is asserted. The SMTP server (aiosmtpd, Python, reading
# the message line by line) takes in about 8 to 9 MB/s with or without TLS, so it sets
# the pace of (b) for both clients; (b) shows that TLS costs us no more than curl.
#   bench/tls_vs_curl.sh [BUILD_DIR]    env: RUNS (3), COUNT (1000), SIZE_MB (25), SMALL_MB (1)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-${BUILD_DIR:-$root/build}}
runs=${RUNS:-3}
count=${COUNT:-1000}
size_mb=${SIZE_MB:-25}
small_mb=${SMALL_MB:-1}
fetch=$build/bench/bench_pop3_fetch
send=$build/bench/bench_smtp_send
# Debian's interpreter carries aiosmtpd; one earlier on PATH may not.
py=/usr/bin/python3
[ -x "$py" ] || py=python3

work=$(mktemp -d /tmp/tlsbench.XXXXXX)
chmod 755 "$work"  # Dovecot reads the mail as another user
server_pid=
cleanup() {
  exec 3>&- 2>/dev/null || true  # end of input stops the servers
  if [ -n "$server_pid" ]; then
    for _ in $(seq 100); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
cmake --build "$build" --target bench_pop3_fetch bench_smtp_send >"$work/build.log" 2>&1 ||
  { cat "$work/build.log"; exit 1; }

mkfifo "$work/control"
"$py" "$root/scripts/testservers.py" --dir "$work/srv" --tls --user many:pw --user bench:secret \
  <"$work/control" >"$work/servers.log" 2>&1 &
server_pid=$!
exec 3>"$work/control"
for _ in $(seq 300); do
  [ -s "$work/srv/ports.env" ] || ! kill -0 "$server_pid" 2>/dev/null && break
  sleep 0.1
done
[ -s "$work/srv/ports.env" ] || { cat "$work/servers.log"; echo "servers did not start" >&2; exit 1; }
# shellcheck disable=SC1091
. "$work/srv/ports.env"

echo "Seeding $count messages of 20 KB ..."
"$py" - "$work/msgs" "$count" <<'EOF'
import os, random, sys
out, count = sys.argv[1], int(sys.argv[2])
os.makedirs(out)
rng = random.Random(7)
words = "mail server client line dot message body text part header sender".split()
for n in range(1, count + 1):
    lines = [f"From: sender{n}@example.org", "To: many@example.org", f"Subject: message {n}", ""]
    size = sum(len(l) + 2 for l in lines)
    while size < 20 * 1024:
        line = " ".join(rng.choice(words) for _ in range(12))
        if rng.random() < 0.05:
            line = "." + line
        lines.append(line)
        size += len(line) + 2
    with open(f"{out}/{n:06d}.eml", "wb") as f:
        f.write(("\r\n".join(lines) + "\r\n").encode())
EOF
"$py" "$root/scripts/testservers.py" deliver --dir "$work/srv" --user many "$work/msgs"/*.eml
mailbox_mb=$(du -sb "$work/msgs" | awk '{printf "%.1f", $1 / 1048576}')

# Runs one client; appends "seconds peak_kib" to $work/<name>.times, fails if it failed.
measure() {
  local name=$1; shift
  local t0 t1
  t0=$(date +%s.%N)
  /usr/bin/time -f "%M" -o "$work/mem" "$@" >"$work/$name.out" 2>"$work/$name.err" || return 1
  t1=$(date +%s.%N)
  echo "$(awk -v a="$t0" -v b="$t1" 'BEGIN{printf "%.3f", b - a}') $(cat "$work/mem")" >>"$work/$name.times"
}
median() { sort -g | awk '{a[NR]=$0} END {print a[int((NR+1)/2)]}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN{printf "%.2f", (b > 0) ? a / b : 0}'; }
mib() { awk -v k="$1" 'BEGIN{printf "%.1f", k / 1024}'; }

# Our clients refuse TLS options in a build without TLS; the run then shows curl alone.
ours=yes
fresh() { rm -rf "$work/out" && mkdir -p "$work/out"; }
pop3_ours() {
  fresh
  measure "$1" "$fetch" --fetch --port "$POP3S_PORT" --user many --pass pw --dir "$work/out" \
    --security ssl --cafile "$CA_FILE"
}
pop3_curl() {
  fresh
  measure "$1" curl -sS --cacert "$CA_FILE" -u many:pw "pop3s://127.0.0.1:$POP3S_PORT/[1-$count]" \
    -o "$work/out/#1.eml"
}
fresh
if ! "$fetch" --fetch --port "$POP3S_PORT" --user many --pass pw --dir "$work/out" --security ssl \
  --cafile "$CA_FILE" >"$work/probe.out" 2>&1; then
  echo "Our client cannot receive over TLS in this build: $(cat "$work/probe.out")"
  ours=
fi

report() {  # title, megabytes on the wire, case prefix
  local title=$1 mb=$2 case=$3 s m cs cm
  echo
  echo "== $title ($mb MB on the wire)"
  read -r cs cm < <(median <"$work/$case-curl.times")
  if [ -n "$ours" ]; then
    read -r s m < <(median <"$work/$case-ours.times")
    printf "  %-8s %8.3f s %8.1f MB/s   peak RSS %7.1f MB\n" corvane "$s" "$(ratio "$mb" "$s")" "$(mib "$m")"
  fi
  printf "  %-8s %8.3f s %8.1f MB/s   peak RSS %7.1f MB\n" curl "$cs" "$(ratio "$mb" "$cs")" "$(mib "$cm")"
  [ -n "$ours" ] && printf "  corvane / curl = %s (goal: at most 1.00)\n" "$(ratio "$s" "$cs")"
  return 0
}

echo "Receiving over POP3S, $runs rounds ..."
pop3_curl pop3-warm
[ -n "$ours" ] && pop3_ours pop3-warm
for _ in $(seq "$runs"); do
  [ -n "$ours" ] && pop3_ours pop3-ours
  pop3_curl pop3-curl
  fetched=$(ls "$work/out" | wc -l)
  [ "$fetched" = "$count" ] || echo "  curl fetched $fetched of $count messages"
done
report "(a) $count messages of 20 KB over POP3S" "$mailbox_mb" pop3

# (b) One composed message per size, so curl sends exactly the bytes our client sends.
smtp_case() {  # size in MB
  local mb=$1 case=smtp$1
  head -c $((mb * 1024 * 1024)) /dev/urandom >"$work/attachment$mb.bin"
  "$send" --attach "$work/attachment$mb.bin" --compose-to "$work/message$mb.eml"
  local ours_cmd=("$send" --port "$SMTPS_PORT" --attach "$work/attachment$mb.bin" --security ssl --cafile "$CA_FILE")
  local curl_cmd=(curl -sS --cacert "$CA_FILE" --url "smtps://127.0.0.1:$SMTPS_PORT" --mail-from ann@example.org
    --mail-rcpt sink@example.org --upload-file "$work/message$mb.eml")
  measure "$case-warm" "${curl_cmd[@]}"
  if [ -n "$ours" ] && ! measure "$case-warm" "${ours_cmd[@]}"; then
    echo "Our client cannot send over TLS in this build: $(cat "$work/$case-warm.err")"
    ours=
  fi
  for _ in $(seq "$runs"); do
    [ -n "$ours" ] && measure "$case-ours" "${ours_cmd[@]}"
    measure "$case-curl" "${curl_cmd[@]}"
  done
  report "(b) one message with a $mb MB attachment over SMTPS" \
    "$(awk -v b="$(stat -c %s "$work/message$mb.eml")" 'BEGIN{printf "%.1f", b / 1048576}')" "$case"
}
echo
echo "Sending over SMTPS, $runs rounds ..."
smtp_case "$size_mb"
smtp_case "$small_mb"
if [ -n "$ours" ]; then
  big=$(median <"$work/smtp$size_mb-ours.times" | awk '{print $2}')
  small=$(median <"$work/smtp$small_mb-ours.times" | awk '{print $2}')
  printf "\ncorvane peak memory: %s MB with %s MB, %s MB with %s MB attached (goal: flat)\n" \
    "$(mib "$small")" "$small_mb" "$(mib "$big")" "$size_mb"
fi
echo "messages received by the SMTPS server: $(ls "$work/srv/smtp" | wc -l)"
