#!/usr/bin/env bash
# Starts Corvane against real mail servers on this machine: Dovecot (POP3) and a small
# SMTP server on 127.0.0.1, in a scratch folder, with a mailbox "demo" seeded with the
# sample messages in scripts/demo. Both accounts of the settings file beside the
# executable point at them while Corvane runs; quitting Corvane stops the servers and
# puts back the settings file that was there before.
# Usage: scripts/demo.sh [BUILD_FOLDER]   (default: build, where scripts/run builds)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
program="$build/corvane"
[ -x "$program" ] || { echo "demo: $program not found; build it first (scripts/run does)" >&2; exit 1; }

scratch=$(mktemp -d /tmp/corvane-demo-XXXXXX)
chmod 755 "$scratch"  # Dovecot serves the mail as another user
settings="$build/corvane.ini"
backup="$scratch/corvane.ini.before-demo"
servers_pid=
cleanup() {
  exec 3>&-  # end of input tells the servers to stop
  if [ -n "$servers_pid" ]; then
    for _ in $(seq 100); do kill -0 "$servers_pid" 2>/dev/null || break; sleep 0.05; done
    kill "$servers_pid" 2>/dev/null || true
  fi
  if [ -f "$backup" ]; then mv -f "$backup" "$settings"; else rm -f "$settings"; fi
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
[ -f "$settings" ] && cp -p "$settings" "$backup"

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

printf '[INBOX]\r\nHost=127.0.0.1\r\nPort=%s\r\nUserId=demo\r\nPassword=demo\r\n' "$POP3_PORT" >"$settings.tmp"
printf '[OUTBOX]\r\nHost=127.0.0.1\r\nPort=%s\r\nUserId=localhost\r\nName=Demo User\r\nEmail=demo@corvane.test\r\n' \
  "$SMTP_PORT" >>"$settings.tmp"
chmod 600 "$settings.tmp"
mv -f "$settings.tmp" "$settings"
# An address to send to, unless the user keeps an address book of their own there.
[ -f "$build/mailbook.txt" ] || printf 'Demo User=demo@corvane.test\r\n' >"$build/mailbook.txt"

echo "demo: POP3 on 127.0.0.1:$POP3_PORT, SMTP on 127.0.0.1:$SMTP_PORT, user demo, password demo"
echo "demo: click the Connect button of the Receive group to fetch $(ls scripts/demo/*.eml | wc -l) messages"
status=0
"$program" || status=$?
exit $status
