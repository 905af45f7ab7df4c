# Sourced by the SMTP benchmark scripts: a scratch folder, the test servers
# (scripts/testservers.py) and an optional delaying relay, all gone when the script ends.
#
#   bench_begin TARGET           scratch folder in $work; builds the benchmark target
#   bench_servers [OPTIONS...]   starts the servers and sources their ports.env
#   bench_relay PORT DELAY_MS    starts a relay to PORT; its port in $relay_port

# Debian's interpreter carries aiosmtpd; one earlier on PATH may not.
python=python3
[ -x /usr/bin/python3 ] && python=/usr/bin/python3
bench_pids=()

bench_end() {
  exec 3>&- 4>&- 2>/dev/null || true  # end of input stops the servers and the relay
  for pid in "${bench_pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}

bench_begin() {
  work=$(mktemp -d)
  trap bench_end EXIT
  chmod 755 "$work"  # the mail server runs its POP3 side as another user
  cmake --build "$build" --target "$1" >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
}

# Waits until file holds a line starting with key=, or the process pid ends.
bench_wait_for() {
  for _ in $(seq 300); do
    grep -q "^$2=" "$1" 2>/dev/null && return 0
    kill -0 "$3" 2>/dev/null || break
    sleep 0.1
  done
  cat "$1" "$4" 2>/dev/null >&2
  echo "$2 did not appear" >&2
  exit 1
}

bench_servers() {
  mkfifo "$work/control"
  "$python" "$root/scripts/testservers.py" --dir "$work/servers" "$@" <"$work/control" >"$work/servers.log" 2>&1 &
  bench_pids+=($!)
  exec 3>"$work/control"
  bench_wait_for "$work/servers/ports.env" READY "$!" "$work/servers.log"
  # shellcheck disable=SC1091
  . "$work/servers/ports.env"
}

bench_relay() {
  mkfifo "$work/relayctl"
  "$python" "$root/scripts/testservers.py" proxy --target "$1" --record /dev/null --delay-ms "$2" \
    <"$work/relayctl" >"$work/relay.out" 2>&1 &
  bench_pids+=($!)
  exec 4>"$work/relayctl"
  bench_wait_for "$work/relay.out" PROXY_PORT "$!"
  relay_port=$(sed -n 's/^PROXY_PORT=//p' "$work/relay.out" | head -1)
}
