#!/bin/sh
# Runs the demo from a build directory: three simulated lines on pseudo-terminals, a demo
# installation (a copy of the program beside its own qora.ini and configuration) in
# demo-run/ (or QORA_DEMO_DIR), and the program itself: its window where a display exists,
# headless otherwise. The program's Перезапуск (or SIGHUP) starts a new process and ends the
# old one: the demo follows the new one, and Ctrl+C (or SIGTERM) stops whichever runs.
# Usage: demo.sh [BUILD_DIR] (default build). Stop with Ctrl+C.
set -eu
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="$(cd "${1:-$ROOT/build}" && pwd)"
DEMO="${QORA_DEMO_DIR:-$ROOT/demo-run}"
PORT="${QORA_DEMO_PORT:-4840}"
SIM="$BUILD/bin/qora-sim"
CFG="$BUILD/bin/qora-cfg"
[ -x "$CFG" ] || CFG="$BUILD/tools/cfg/qora-cfg"

MQTT_PORT="${QORA_DEMO_MQTT_PORT:-1884}"
MOSQUITTO="$(command -v mosquitto || true)"
[ -n "$MOSQUITTO" ] || { [ -x /usr/sbin/mosquitto ] && MOSQUITTO=/usr/sbin/mosquitto; } || true

rm -rf "$DEMO"
mkdir -p "$DEMO"
cp "$BUILD/bin/qora-opc-server" "$DEMO/"
if [ -n "$MOSQUITTO" ]; then
  sh "$ROOT/scripts/demo-files.sh" "$DEMO" "$PORT" "$MQTT_PORT"
else
  sh "$ROOT/scripts/demo-files.sh" "$DEMO" "$PORT"
fi
"$CFG" create "$DEMO/demo.cfg" < "$DEMO/demo.json"

PIDS=""
APP=""
# The running copy of the demo's program: the one started here, or the process a restart put in
# its place (started detached, in a session of its own, so not a child of this script).
demo_server_pid() {
  for d in /proc/[0-9]*; do
    if [ "$(readlink "$d/exe" 2>/dev/null)" = "$DEMO/qora-opc-server" ]; then
      echo "${d#/proc/}"
      return 0
    fi
  done
  return 1
}
cleanup() {
  trap - EXIT INT TERM
  # The program first (it ends its clients' sessions and says "offline" to the broker), then
  # the lines and the broker.
  if [ -n "$APP" ]; then
    kill "$APP" 2>/dev/null || true
    n=0
    while kill -0 "$APP" 2>/dev/null && [ $n -lt 100 ]; do sleep 0.1; n=$((n + 1)); done
  fi
  for p in $PIDS; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT
trap 'cleanup; exit 130' INT
trap 'cleanup; exit 143' TERM

# A broker of the demo's own (Debian's package may run a system broker on 1883; this one is apart).
if [ -n "$MOSQUITTO" ]; then
  printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\nuser %s\n' "$MQTT_PORT" "$(id -un)" > "$DEMO/mosquitto.conf"
  "$MOSQUITTO" -c "$DEMO/mosquitto.conf" > "$DEMO/mosquitto.log" 2>&1 &
  PIDS="$PIDS $!"
fi

. "$ROOT/scripts/demo-lines.sh"
start_demo_lines "$DEMO" "$SIM"

echo "Demo installation: $DEMO"
echo "OPC UA endpoint:   opc.tcp://127.0.0.1:$PORT  (anonymous allowed; None, and Basic256Sha256,"
echo "                   Aes128_Sha256_RsaOaep, Aes256_Sha256_RsaPss signed or signed and encrypted;"
echo "                   server certificate in $DEMO/pki/own/certs, clients to trust in $DEMO/pki/trusted/certs)"
echo "Item IDs look like: Котельная(SIM1).Котёл_1(Термометр ТМ-2 №1).Температура"
echo "Насос_2 falls silent after 40 requests (Bad_NoCommunication), Резерв never answers (Bad_NotConnected)."
if [ -n "$MOSQUITTO" ]; then
  echo "MQTT broker:       127.0.0.1:$MQTT_PORT; watch with: mosquitto_sub -p $MQTT_PORT -v -t 'qora/#'"
else
  echo "MQTT:              off (install mosquitto to publish the items to a local broker)"
fi
echo "Stop with Ctrl+C."
"$DEMO/qora-opc-server" "-f:$DEMO/demo.cfg" &
APP=$!
wait "$APP" || true
# Ended by Выход, or replaced by a restart: follow the new process while there is one.
while APP="$(demo_server_pid)"; do
  echo "Restarted: the demo follows process $APP."
  while kill -0 "$APP" 2>/dev/null; do sleep 1; done
done
APP=""
