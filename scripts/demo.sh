#!/usr/bin/env bash
# Starts Corvane against real mail servers on this machine: Dovecot (POP3) and a small
# SMTP server on 127.0.0.1, in a scratch folder, with a mailbox "demo" seeded with the
# sample messages in scripts/demo. Corvane keeps all its files beside its executable, so
# the demo runs a copy of it from the scratch folder, with both accounts pointing at the
# servers: the settings, stores and address book beside the build are never touched.
# Quitting Corvane stops the servers and removes the scratch folder.
# Usage: scripts/demo.sh [BUILD_FOLDER]   (default: build, where scripts/run builds)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
[ -x "$build/corvane" ] || { echo "demo: $build/corvane not found; build it first (scripts/run does)" >&2; exit 1; }

scratch=$(mktemp -d /tmp/corvane-demo-XXXXXX)
chmod 755 "$scratch"  # Dovecot serves the mail as another user
servers_pid=
cleanup() {
  exec 3>&-  # end of input tells the servers to stop
  if [ -n "$servers_pid" ]; then
    for _ in $(seq 100); do kill -0 "$servers_pid" 2>/dev/null || break; sleep 0.05; done
    kill "$servers_pid" 2>/dev/null || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The servers read their stdin from this pipe; if this script dies they see its end and stop.
exec 3> >(exec scripts/testservers.py --dir "$scratch/servers" --user demo:demo \
  >"$scratch/servers.out" 2>"$scratch/servers.log")
servers_pid=$!
for _ in $(seq 200); do
  [ -f "$scratch/servers/ports.env" ] && break
  kill -0 "$servers_pid" 2>/dev/null || break
  sleep 0.1
done
if [ ! -f "$scratch/servers/ports.env" ]; then
  echo "demo: the mail servers did not start:" >&2
  cat "$scratch/servers.log" "$scratch/servers/dovecot.log" >&2 2>/dev/null || true
  exit 1
fi
# shellcheck disable=SC1091
. "$scratch/servers/ports.env"
scripts/testservers.py deliver --dir "$scratch/servers" --user demo scripts/demo/*.eml

app="$scratch/corvane"
mkdir -m 700 "$app"
cp "$build/corvane" "$app/"
[ -f "$build/Corvane.hlp" ] && cp "$build/Corvane.hlp" "$app/"
printf '[INBOX]\r\nHost=127.0.0.1\r\nPort=%s\r\nUserId=demo\r\nPassword=demo\r\n' "$POP3_PORT" >"$app/corvane.ini"
printf '[OUTBOX]\r\nHost=127.0.0.1\r\nPort=%s\r\nUserId=localhost\r\nName=Demo User\r\nEmail=demo@corvane.test\r\n' \
  "$SMTP_PORT" >>"$app/corvane.ini"
# An address to send to: what goes to it comes back on the next connect.
printf 'Demo User=demo@corvane.test\r\n' >"$app/mailbook.txt"

echo "demo: POP3 on 127.0.0.1:$POP3_PORT, SMTP on 127.0.0.1:$SMTP_PORT, user demo, password demo"
echo "demo: click the Connect button of the Receive group to fetch $(ls scripts/demo/*.eml | wc -l) messages"
status=0
"$app/corvane" || status=$?
exit $status
