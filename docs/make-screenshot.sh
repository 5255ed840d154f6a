#!/bin/sh
# Renders docs/main-window.png and docs/device-dialog.png: the demo installation with its
# simulated lines, the program running on an Xvfb X server (the X11 platform, DejaVu Sans as on
# any Debian desktop), the main window taken after a few seconds of polling, then the edit
# dialog of a device.
# Usage: docs/make-screenshot.sh [BUILD_DIR [OUTPUT_DIR]]
#   BUILD_DIR default build (needs qora-ui-screenshot, qora-sim, qora-cfg); OUTPUT_DIR default docs.
#   QORA_SHOT_POINT_SIZE=12 renders the window and the dialog with a larger face (default: the
#   designed 8 points); QORA_SHOT_SECONDS sets the polling time (default 9).
# Needs xvfb.
set -eu
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="$(cd "${1:-$ROOT/build}" && pwd)"
OUT="$(mkdir -p "${2:-$ROOT/docs}" && cd "${2:-$ROOT/docs}" && pwd)"
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

# An X server of our own on the first free display number; no window manager, so windows
# have no frames and the pictures show the client areas.
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$DIR/display" >"$DIR/xvfb.log" 2>&1 &
PIDS="$PIDS $!"
n=0
while [ ! -s "$DIR/display" ] && [ $n -lt 100 ]; do sleep 0.1; n=$((n + 1)); done
[ -s "$DIR/display" ] || { echo "Xvfb did not start:" >&2; cat "$DIR/xvfb.log" >&2; exit 1; }
DISPLAY=":$(cat "$DIR/display")"
export DISPLAY

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
QT_QPA_PLATFORM=xcb LANG=ru_RU.UTF-8 LC_ALL=ru_RU.UTF-8 XDG_RUNTIME_DIR="$DIR" \
  "$SHOT" "$DIR" "$OUT" "${QORA_SHOT_SECONDS:-9}"
