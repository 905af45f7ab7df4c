#!/usr/bin/env bash
# Receives the same mailboxes from a local Dovecot with Corvane's real window (offscreen:
# Connect, retrieve, show, store, DELE, Disconnect; timed from the click on Connect to the
# end of QUIT, as the user meets it in a window already open), Corvane's POP3 component alone, curl
# and Python's poplib, and prints seconds, MB/s, the ratio against the faster peer and
# peak memory. The peers run twice: fetching only, and fetching and deleting every message
# in the same session as the window does ("-dele"), so that the server's work of removing
# them at QUIT is on both sides of that second ratio:
#   (a) 1,000 messages of 20 KB, one connection each client;
#   (b) one message with a 50 MB base64 attachment (decoded to a file by Corvane);
#   (c) one message of 100 MB of plain text (the window shows its beginning and stores it
#       whole): the window's memory growth against the message's size, and the longest
#       time its event queue went unanswered.
# Every client writes what it receives to disk. Figures are the best of RUNS rounds after
# one unmeasured warm-up fetch. Nothing is asserted; the goals are printed beside the
# figures. Environment: BUILD_DIR (default build), RUNS (3), COUNT (1000), BIG_MB (50),
# TEXT_MB (100, 0 leaves case (c) out), TEXT_CODING (7bit; quoted-printable or base64 sends
# the same text coded), TEXT_HTML (0; 1 sends it as HTML, a paragraph a line), DELAY_MS (0): with N > 0 every client goes through a loopback relay that holds each
# direction's bytes back by N ms, as a distant server would, and only case (a) runs
# (e.g. DELAY_MS=20 COUNT=200: one 40 ms round trip per command in lock-step),
# SERVER_DIR (/dev/shm when writable): where the server keeps its mailboxes.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
runs=${RUNS:-3}
count=${COUNT:-1000}
big_mb=${BIG_MB:-50}
text_mb=${TEXT_MB:-100}
delay_ms=${DELAY_MS:-0}
driver=$build/bench/bench_pop3_fetch
window=$build/bench/bench_window_receive
# Debian's interpreter: the one that has python3-aiosmtpd.
py=/usr/bin/python3
[ -x "$py" ] || py=python3

if [ ! -x "$driver" ] || [ ! -x "$window" ]; then
  cmake -S "$root" -B "$build" -G Ninja >/dev/null
  ninja -C "$build" -j2 bench_pop3_fetch bench_window_receive >/dev/null
fi

work=$(mktemp -d /tmp/pop3bench.XXXXXX)
chmod 755 "$work"  # Dovecot reads the mail as another user
# The server's mailboxes live in memory where the machine allows: removing a thousand
# files at QUIT is the server's disk work, which on some disks takes seconds and would
# drown what the clients do. SERVER_DIR=<folder> puts them elsewhere.
srv_parent=${SERVER_DIR:-}
if [ -z "$srv_parent" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
  srv_parent=$(mktemp -d /dev/shm/pop3bench.XXXXXX)
  chmod 755 "$srv_parent"
fi
srv=${srv_parent:-$work}/srv
server_pid=""
proxy_pid=""
cleanup() {
  if [ -n "$proxy_pid" ]; then
    kill -TERM "$proxy_pid" 2>/dev/null || true
    wait "$proxy_pid" 2>/dev/null || true
  fi
  if [ -n "$server_pid" ]; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
  case $srv_parent in /dev/shm/pop3bench.*) rm -rf "$srv_parent" ;; esac
}
trap cleanup EXIT

# The servers stop at the end of their input: the fifo stays open until we exit.
mkfifo "$work/ctl"
"$py" "$root/scripts/testservers.py" --dir "$srv" --user many:pw --user big:pw --user text:pw \
  <"$work/ctl" >"$work/servers.log" 2>&1 &
server_pid=$!
exec 3>"$work/ctl"
for _ in $(seq 600); do
  [ -s "$srv/ports.env" ] && break
  kill -0 "$server_pid" 2>/dev/null || { cat "$work/servers.log" >&2; exit 1; }
  sleep 0.1
done
[ -s "$srv/ports.env" ] || { echo "servers did not start" >&2; exit 1; }
# shellcheck disable=SC1091
. "$srv/ports.env"

if [ "$delay_ms" -gt 0 ]; then
  mkfifo "$work/proxyctl"
  "$py" "$root/scripts/testservers.py" proxy --target "$POP3_PORT" --record /dev/null --delay-ms "$delay_ms" \
    <"$work/proxyctl" >"$work/proxy.out" 2>&1 &
  proxy_pid=$!
  exec 4>"$work/proxyctl"
  for _ in $(seq 600); do
    grep -q '^PROXY_PORT=' "$work/proxy.out" 2>/dev/null && break
    kill -0 "$proxy_pid" 2>/dev/null || { cat "$work/proxy.out" >&2; exit 1; }
    sleep 0.1
  done
  POP3_PORT=$(sed -n 's/^PROXY_PORT=//p' "$work/proxy.out" | head -1)
  [ -n "$POP3_PORT" ] || { echo "relay did not start" >&2; exit 1; }
  echo "Every client goes through a relay delaying each direction by $delay_ms ms."
fi

echo "Seeding: $count messages of 20 KB, one message with a ${big_mb} MB attachment ..."
"$py" - "$work/msgs" "$count" "$big_mb" "$text_mb" <<'EOF'
import base64, os, random, sys
out, count, big_mb, text_mb = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
os.makedirs(f"{out}/many")
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
    with open(f"{out}/many/{n:06d}.eml", "wb") as f:
        f.write(("\r\n".join(lines) + "\r\n").encode())
data = rng.randbytes(big_mb * 1024 * 1024)
coded = base64.encodebytes(data).replace(b"\n", b"\r\n")
with open(f"{out}/big.eml", "wb") as f:
    f.write(b"From: big@example.org\r\nTo: big@example.org\r\nSubject: big\r\n"
            b"Content-Type: multipart/mixed; boundary=\"=_big\"\r\n\r\n--=_big\r\n\r\n"
            b"The attachment follows.\r\n--=_big\r\n"
            b"Content-Type: application/octet-stream; name=\"big.bin\"\r\n"
            b"Content-Transfer-Encoding: base64\r\n\r\n" + coded + b"--=_big--\r\n")
with open(f"{out}/big.bin", "wb") as f:
    f.write(data)
coding = os.environ.get("TEXT_CODING", "7bit")
html = os.environ.get("TEXT_HTML", "0") == "1"
with open(f"{out}/text.eml", "wb") as f:
    f.write(b"From: text@example.org\r\nTo: text@example.org\r\nSubject: text\r\n"
            + f"Content-Type: text/{'html' if html else 'plain'}; charset=utf-8\r\n".encode()
            + f"Content-Transfer-Encoding: {coding}\r\n\r\n".encode())
    size = 0
    text = []
    while size < text_mb * 1024 * 1024:
        line = " ".join(rng.choice(words) for _ in range(12))
        line = (f"<p>{line}</p>\r\n" if html else line + "\r\n").encode()
        if coding == "base64":
            text.append(line)
        else:
            f.write(line)  # printable ASCII: the same bytes in quoted-printable
        size += len(line)
    if coding == "base64":
        f.write(base64.encodebytes(b"".join(text)).replace(b"\n", b"\r\n"))
EOF
"$py" "$root/scripts/testservers.py" deliver --dir "$srv" --user many "$work/msgs"/many/*.eml
"$py" "$root/scripts/testservers.py" deliver --dir "$srv" --user big "$work/msgs/big.eml"
[ "$text_mb" -gt 0 ] && "$py" "$root/scripts/testservers.py" deliver --dir "$srv" --user text "$work/msgs/text.eml"

cat >"$work/poplib_fetch.py" <<'EOF'
import poplib, sys
port, user, folder = int(sys.argv[1]), sys.argv[2], sys.argv[3]
box = poplib.POP3("127.0.0.1", port, timeout=120)
box.user(user)
box.pass_("pw")
total = box.stat()[0]
dele = len(sys.argv) > 4 and sys.argv[4] == "dele"
for n in range(1, total + 1):
    _, lines, _ = box.retr(n)
    with open(f"{folder}/{n}.eml", "wb") as f:
        f.write(b"\r\n".join(lines) + b"\r\n")
    if dele:
        box.dele(n)
box.quit()
EOF

# Runs one client into a fresh folder; prints "seconds peak_kib" as /usr/bin/time saw them.
measure() {
  local folder=$work/out
  rm -rf "$folder" && mkdir -p "$folder"
  # Every client starts with the disk idle: the last one's writes are not yet another's wait.
  sync
  local client=$1 user=$2 last=$3
  case $client in
    window) /usr/bin/time -f "%e %M" -o "$work/time" \
      "$window" --port "$POP3_PORT" --user "$user" --pass pw --dir "$folder" >"$work/window.out" ;;
    corvane) /usr/bin/time -f "%e %M" -o "$work/time" \
      "$driver" --fetch --port "$POP3_PORT" --user "$user" --pass pw --dir "$folder" >"$work/driver.out" ;;
    curl) /usr/bin/time -f "%e %M" -o "$work/time" \
      curl -sS -u "$user:pw" "pop3://127.0.0.1:$POP3_PORT/[1-$last]" -o "$folder/#1.eml" ;;
    poplib) /usr/bin/time -f "%e %M" -o "$work/time" \
      "$py" "$work/poplib_fetch.py" "$POP3_PORT" "$user" "$folder" ;;
    # One connection: the second URL list reuses it for a DELE of each message, then QUIT.
    curl-dele) /usr/bin/time -f "%e %M" -o "$work/time" \
      curl -sS -u "$user:pw" "pop3://127.0.0.1:$POP3_PORT/[1-$last]" -o "$folder/#1.eml" \
        --next -u "$user:pw" -X DELE -I "pop3://127.0.0.1:$POP3_PORT/[1-$last]" >/dev/null ;;
    poplib-dele) /usr/bin/time -f "%e %M" -o "$work/time" \
      "$py" "$work/poplib_fetch.py" "$POP3_PORT" "$user" "$folder" dele ;;
  esac
  if [ "$client" = window ]; then
    # The user's receive runs in a window that is already open: the window's figure is
    # from the click on Connect to the end of QUIT; the whole process is kept beside it.
    cp "$work/time" "$work/window.process"
    echo "$(sed -n 's/.* seconds=\([0-9.]*\) .*/\1/p' "$work/window.out") $(cut -d' ' -f2 "$work/time")"
  else
    cat "$work/time"
  fi
}

report_case() {
  local title=$1 user=$2 last=$3 mbytes=$4
  echo
  echo "== $title (${mbytes} MB on the wire)"
  measure curl "$user" "$last" >/dev/null  # warm-up
  # The window and the deleting peers empty the mailbox; every run starts from the same one.
  local seed=$5
  # Case (c) has no speed goal: it is there for the window's memory and stalls.
  local goal=" (goal: at most 1.00)"
  [ "${6:-}" = nogoal ] && goal=""
  declare -A secs mem
  local round client s m
  local clients="window corvane curl poplib curl-dele poplib-dele"
  # Rounds go through all clients in turn, so a busy moment of the machine hits each alike.
  for round in $(seq "$runs"); do
    for client in $clients; do
      read -r s m < <(measure "$client" "$user" "$last")
      if [ "$round" = 1 ] || awk -v a="$s" -v b="${secs[$client]}" 'BEGIN{exit !(a<b)}'; then
        secs[$client]=$s mem[$client]=$m
        [ "$client" = corvane ] && cp "$work/driver.out" "$work/driver.best"
        [ "$client" = window ] && cp "$work/window.out" "$work/window.best" &&
          cp "$work/window.process" "$work/window.process.best"
      fi
      case $client in window | *-dele) reseed "$user" "$seed" ;; esac
    done
  done
  for client in $clients; do
    printf "  %-11s %8.2f s %9.1f MB/s   peak RSS %7.1f MB\n" "$client" "${secs[$client]}" \
      "$(awk -v b="$mbytes" -v s="${secs[$client]}" 'BEGIN{print (s>0)?b/s:0}')" \
      "$(awk -v k="${mem[$client]}" 'BEGIN{print k/1024}')"
  done
  local peer=curl
  awk -v a="${secs[poplib]}" -v b="${secs[curl]}" 'BEGIN{exit !(a<b)}' && peer=poplib
  printf "  window / %s (faster peer) = %.2f%s\n" "$peer" \
    "$(awk -v a="${secs[window]}" -v b="${secs[$peer]}" 'BEGIN{print (b>0)?a/b:0}')" "$goal"
  local deleting=curl-dele
  awk -v a="${secs[poplib-dele]}" -v b="${secs[curl-dele]}" 'BEGIN{exit !(a<b)}' && deleting=poplib-dele
  printf "  window / %s (faster peer that deletes too) = %.2f\n" "$deleting" \
    "$(awk -v a="${secs[window]}" -v b="${secs[$deleting]}" 'BEGIN{print (b>0)?a/b:0}')"
  printf "  corvane / %s (faster peer) = %.2f%s\n" "$peer" \
    "$(awk -v a="${secs[corvane]}" -v b="${secs[$peer]}" 'BEGIN{print (b>0)?a/b:0}')" "$goal"
  printf "  corvane / curl = %.2f, corvane / poplib = %.2f\n" \
    "$(awk -v a="${secs[corvane]}" -v b="${secs[curl]}" 'BEGIN{print (b>0)?a/b:0}')" \
    "$(awk -v a="${secs[corvane]}" -v b="${secs[poplib]}" 'BEGIN{print (b>0)?a/b:0}')"
  echo "  corvane driver (best run): $(cat "$work/driver.best")"
  echo "  window (best run): $(cat "$work/window.best")"
  echo "  window (best run) as a whole process, with start-up and exit: $(cut -d' ' -f1 "$work/window.process.best") s"
}

mailbox_mb() { "$py" -c "
import os, sys
total = sum(os.path.getsize(os.path.join(sys.argv[1], f)) for f in os.listdir(sys.argv[1]))
print(f'{total / 1048576:.1f}')" "$1"; }

# Puts the seed messages back into a mailbox the window emptied.
reseed() {
  local user=$1 seed=$2
  rm -rf "$srv/mail/$user/Maildir/cur"/* "$srv/mail/$user/Maildir/new"/*
  # shellcheck disable=SC2086
  "$py" "$root/scripts/testservers.py" deliver --dir "$srv" --user "$user" $seed
}

report_case "(a) $count messages of 20 KB" many "$count" "$(mailbox_mb "$work/msgs/many")" "$work/msgs/many/*.eml"
[ "$delay_ms" -gt 0 ] && exit 0
report_case "(b) one message with a ${big_mb} MB base64 attachment" big 1 \
  "$("$py" -c "import os; print(f'{os.path.getsize(\"$work/msgs/big.eml\") / 1048576:.1f}')")" "$work/msgs/big.eml"

# The decoded attachment must be the original, and memory must not grow with it.
"$driver" --fetch --port "$POP3_PORT" --user big --pass pw --dir "$work/out" >"$work/driver.out"
cmp -s "$work/out/big.bin" "$work/msgs/big.bin" && echo "  attachment decoded byte-exact" \
  || echo "  ATTACHMENT DIFFERS"
read -r start peak < <(sed "s/.*start_rss_kib=\([0-9]*\) peak_rss_kib=\([0-9]*\).*/\1 \2/" "$work/driver.out")
printf "  corvane memory for (b): %.1f MB at start, peak %.1f MB, growth %.1f MB (goal: under 64 MB)\n" \
  "$(awk -v k="$start" 'BEGIN{print k/1024}')" "$(awk -v k="$peak" 'BEGIN{print k/1024}')" \
  "$(awk -v a="$start" -v b="$peak" 'BEGIN{print (b-a)/1024}')"

[ "$text_mb" -gt 0 ] || exit 0
text_size=$("$py" -c "import os; print(f'{os.path.getsize(\"$work/msgs/text.eml\") / 1048576:.1f}')")
text_kind="plain text"
[ "${TEXT_HTML:-0}" = 1 ] && text_kind="HTML"
[ "${TEXT_CODING:-7bit}" != 7bit ] && text_kind="$text_kind in $TEXT_CODING"
report_case "(c) one message of ${text_mb} MB of $text_kind" text 1 "$text_size" "$work/msgs/text.eml" nogoal
read -r start peak stall < <(sed "s/.*start_rss_kib=\([0-9]*\) peak_rss_kib=\([0-9]*\).*longest_stall_seconds=\([0-9.]*\).*/\1 \2 \3/" \
  "$work/window.best")
printf "  window memory for (c): growth %.1f MB for a %s MB message, %.2f times its size (goal: at most 2)\n" \
  "$(awk -v a="$start" -v b="$peak" 'BEGIN{print (b-a)/1024}')" "$text_size" \
  "$(awk -v a="$start" -v b="$peak" -v m="$text_size" 'BEGIN{print (b-a)/1024/m}')"
printf "  window for (c): longest time without answering its event queue %.2f s (goal: at most 0.5 s)\n" "$stall"
