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

"$SIM" --link "$DEMO/ttySIM1" \
  --device 1:0=sine:85:5:60,1=ramp:60:70:0.1,2=const:90 \
  --device 2:0=sine:80:3:45,1=const:65.5 > "$DEMO/sim1.log" 2>&1 &
PIDS="$PIDS $!"
"$SIM" --link "$DEMO/ttySIM2" \
  --device 5:0=const:21.5,3=sine:6.2:0.4:30,4=ramp:4:8:0.05 \
  --device 6:3=sine:5.8:0.2:20 --fault 6:silent-after:40 > "$DEMO/sim2.log" 2>&1 &
PIDS="$PIDS $!"
"$SIM" --link "$DEMO/ttySIM3" \
  --device 10:0=const:18,5=sine:120:15:90,6=ramp:1000:100000:2.5,7=ramp:500:50000:1.2 \
  --fault 11:silent > "$DEMO/sim3.log" 2>&1 &
PIDS="$PIDS $!"
for i in 1 2 3; do
  n=0
  while [ ! -e "$DEMO/ttySIM$i" ] && [ $n -lt 50 ]; do sleep 0.1; n=$((n + 1)); done
done

echo "Demo installation: $DEMO"
echo "OPC UA endpoint:   opc.tcp://127.0.0.1:$PORT  (anonymous, security None)"
echo "Item IDs look like: Котельная(SIM1).Котёл_1(Термометр ТМ-2 №1).Температура"
echo "Насос_2 falls silent after 40 requests (Bad_NoCommunication), Резерв never answers (Bad_NotConnected)."
echo "Stop with Ctrl+C."
"$DEMO/qora-opc-server" "-f:$DEMO/demo.cfg" &
APP=$!
PIDS="$APP $PIDS"
wait "$APP" || true
