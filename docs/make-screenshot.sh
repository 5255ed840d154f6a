#!/bin/sh
# Renders docs/main-window.png: the demo installation with its simulated lines, the program
# running offscreen on it, the window grabbed after a few seconds of polling.
# Usage: docs/make-screenshot.sh [BUILD_DIR] (default build; needs qora-ui-screenshot, qora-sim, qora-cfg)
set -eu
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="$(cd "${1:-$ROOT/build}" && pwd)"
SIM="$BUILD/bin/qora-sim"
CFG="$BUILD/bin/qora-cfg"
[ -x "$CFG" ] || CFG="$BUILD/tools/cfg/qora-cfg"
SHOT="$BUILD/tests/ui/qora-ui-screenshot"
DIR="$(mktemp -d)"
PORT="${QORA_SHOT_PORT:-48731}"
PIDS=""
cleanup() {
  for p in $PIDS; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$DIR"
}
trap cleanup EXIT INT TERM

sh "$ROOT/scripts/demo-files.sh" "$DIR" "$PORT"
"$CFG" create "$DIR/demo.cfg" < "$DIR/demo.json"
"$SIM" --link "$DIR/ttySIM1" \
  --device 1:0=sine:85:5:60,1=ramp:60:70:0.1,2=const:90 \
  --device 2:0=sine:80:3:45,1=const:65.5 > "$DIR/sim1.log" 2>&1 &
PIDS="$PIDS $!"
"$SIM" --link "$DIR/ttySIM2" \
  --device 5:0=const:21.5,3=sine:6.2:0.4:30,4=ramp:4:8:0.05 \
  --device 6:3=sine:5.8:0.2:20 --fault 6:silent-after:40 > "$DIR/sim2.log" 2>&1 &
PIDS="$PIDS $!"
"$SIM" --link "$DIR/ttySIM3" \
  --device 10:0=const:18,5=sine:120:15:90,6=ramp:1000:100000:2.5,7=ramp:500:50000:1.2 \
  --fault 11:silent > "$DIR/sim3.log" 2>&1 &
PIDS="$PIDS $!"
for i in 1 2 3; do
  n=0
  while [ ! -e "$DIR/ttySIM$i" ] && [ $n -lt 50 ]; do sleep 0.1; n=$((n + 1)); done
done
# A client session while the program runs (when the test client is installed): the event log
# then shows its callbacks.
CLIENT_MODULES="$ROOT/tests/integration/ua/client/node_modules"
if command -v node >/dev/null 2>&1 && [ -d "$CLIENT_MODULES" ]; then
  (sleep 2; NODE_PATH="$CLIENT_MODULES" node "$ROOT/docs/screenshot-client.js" "$PORT" > "$DIR/client.log" 2>&1) &
  PIDS="$PIDS $!"
fi
QT_QPA_PLATFORM=offscreen LANG=ru_RU.UTF-8 LC_ALL=ru_RU.UTF-8 "$SHOT" "$DIR" "$ROOT/docs/main-window.png" "${QORA_SHOT_SECONDS:-9}"
