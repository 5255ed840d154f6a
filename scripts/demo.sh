#!/bin/sh
# Runs the demo from a build directory: three simulated lines on pseudo-terminals, a demo
# installation (a copy of the program beside its own qora.ini and configuration) in
# demo-run/, and the program itself: its window where a display exists, headless otherwise.
# Usage: demo.sh [BUILD_DIR] (default build). Stop with Ctrl+C.
set -eu
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="$(cd "${1:-$ROOT/build}" && pwd)"
DEMO="$ROOT/demo-run"
PORT="${QORA_DEMO_PORT:-4840}"
SIM="$BUILD/bin/qora-sim"
CFG="$BUILD/bin/qora-cfg"
[ -x "$CFG" ] || CFG="$BUILD/tools/cfg/qora-cfg"

rm -rf "$DEMO"
mkdir -p "$DEMO"
cp "$BUILD/bin/qora-opc-server" "$DEMO/"
sh "$ROOT/scripts/demo-files.sh" "$DEMO" "$PORT"
"$CFG" create "$DEMO/demo.cfg" < "$DEMO/demo.json"

PIDS=""
cleanup() {
  for p in $PIDS; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT INT TERM

. "$ROOT/scripts/demo-lines.sh"
start_demo_lines "$DEMO" "$SIM"

echo "Demo installation: $DEMO"
echo "OPC UA endpoint:   opc.tcp://127.0.0.1:$PORT  (anonymous, security None)"
echo "Item IDs look like: Котельная(SIM1).Котёл_1(Термометр ТМ-2 №1).Температура"
echo "Насос_2 falls silent after 40 requests (Bad_NoCommunication), Резерв never answers (Bad_NotConnected)."
echo "Stop with Ctrl+C."
"$DEMO/qora-opc-server" "-f:$DEMO/demo.cfg" &
APP=$!
PIDS="$APP $PIDS"
wait "$APP" || true
