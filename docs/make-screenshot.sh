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
. "$ROOT/scripts/demo-lines.sh"
start_demo_lines "$DIR" "$SIM"
# A client session while the program runs (when the test client is installed): the event log
# then shows its callbacks.
CLIENT_MODULES="$ROOT/tests/integration/ua/client/node_modules"
if command -v node >/dev/null 2>&1 && [ -d "$CLIENT_MODULES" ]; then
  (sleep 2; NODE_PATH="$CLIENT_MODULES" exec node "$ROOT/docs/screenshot-client.js" "$PORT" > "$DIR/client.log" 2>&1) &
  PIDS="$PIDS $!"
fi
QT_QPA_PLATFORM=offscreen LANG=ru_RU.UTF-8 LC_ALL=ru_RU.UTF-8 "$SHOT" "$DIR" "$ROOT/docs/main-window.png" "${QORA_SHOT_SECONDS:-9}"
