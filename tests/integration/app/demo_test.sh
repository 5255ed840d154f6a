#!/bin/sh
# The demo script across a restart of the program: SIGHUP (as Перезапуск) replaces the server
# by a detached process; the demo keeps its lines and broker and follows the new server, and
# SIGTERM to the demo (as Ctrl+C) ends that server too.
# Usage: demo_test.sh SOURCE_DIR BINARY_DIR
set -u
SRC="$1"
TMP="$(mktemp -d /tmp/qora-demo-XXXXXX)"
DEMO="$TMP/demo"
export QORA_DEMO_DIR="$DEMO" QORA_DEMO_PORT=0 QORA_DEMO_MQTT_PORT=$((30000 + $$ % 20000))
export XDG_RUNTIME_DIR="$TMP/run" HOME="$TMP"
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM INVOCATION_ID MANAGERPID
mkdir -p "$XDG_RUNTIME_DIR"
FAILED=0
fail() { echo "FAIL: $*"; FAILED=1; }
server_pid() {
  for d in /proc/[0-9]*; do
    [ "$(readlink "$d/exe" 2>/dev/null)" = "$DEMO/qora-opc-server" ] && { echo "${d#/proc/}"; return 0; }
  done
  return 1
}
# Waits (at most 30 s) for a server process other than $1.
await_server() {
  n=0
  while [ $n -lt 300 ]; do
    p="$(server_pid)" && [ "$p" != "$1" ] && { echo "$p"; return 0; }
    sleep 0.1; n=$((n + 1))
  done
  return 1
}
children() { ps -o pid= --ppid "$1" | tr -d ' '; }
cleanup() {
  p="$(server_pid)" && kill "$p" 2>/dev/null
  [ -n "${DEMO_PID:-}" ] && kill "$DEMO_PID" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$TMP"
}
trap cleanup EXIT

sh "$SRC/scripts/demo.sh" "$2" > "$TMP/demo.log" 2>&1 &
DEMO_PID=$!
FIRST="$(await_server "")" || { cat "$TMP/demo.log"; echo "FAIL: the demo's server did not start"; exit 1; }
# Given time to take its lock and its port: the listening line in the log.
n=0
while ! grep -q "opc.tcp://" "$TMP/demo.log" 2>/dev/null && [ $n -lt 300 ]; do sleep 0.1; n=$((n + 1)); done
HELPERS="$(children "$DEMO_PID" | grep -v "^$FIRST\$")"
[ -n "$HELPERS" ] || fail "no simulated lines running"

kill -HUP "$FIRST"
SECOND="$(await_server "$FIRST")" || fail "no server after the restart"
# The old process ends; the demo goes on with the new one.
n=0
while kill -0 "$FIRST" 2>/dev/null && [ $n -lt 300 ]; do sleep 0.1; n=$((n + 1)); done
kill -0 "$FIRST" 2>/dev/null && fail "the first server did not end"
kill -0 "$DEMO_PID" 2>/dev/null || fail "the demo ended with the first server"
for p in $HELPERS; do kill -0 "$p" 2>/dev/null || fail "helper $p ($(cat /proc/$p/comm 2>/dev/null)) ended with the restart"; done
n=0
while ! grep -q "follows process $SECOND" "$TMP/demo.log" && [ $n -lt 100 ]; do sleep 0.1; n=$((n + 1)); done
grep -q "follows process $SECOND" "$TMP/demo.log" || fail "the demo does not say it follows $SECOND"

kill -TERM "$DEMO_PID"
wait "$DEMO_PID"
[ -n "${SECOND:-}" ] && kill -0 "$SECOND" 2>/dev/null && fail "the restarted server outlived the demo"
for p in $HELPERS; do kill -0 "$p" 2>/dev/null && fail "helper $p outlived the demo"; done
[ $FAILED -eq 0 ] || cat "$TMP/demo.log"
exit $FAILED
