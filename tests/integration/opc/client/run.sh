#!/bin/sh
# Runs the end-to-end test of the server object with node-opcua-client, taken from the endpoint's
# interop client folder (tests/integration/ua/client, where `npm ci` installs it).
# Usage: run.sh <opc_test_host>
set -eu
HERE="$(cd "$(dirname "$0")" && pwd)"
HOST="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
CLIENT="$HERE/../../ua/client"
if [ ! -d "$CLIENT/node_modules/node-opcua-client" ]; then
  echo "SKIPPED: node_modules missing in $CLIENT (run 'npm ci' there)"
  exit 77
fi
if ! command -v node >/dev/null 2>&1; then
  echo "SKIPPED: node is not installed"
  exit 77
fi
TMP="$(mktemp -d)"
trap 'rm -rf "$TMP"' EXIT INT TERM
export HOME="$TMP" XDG_CONFIG_HOME="$TMP/config" XDG_DATA_HOME="$TMP/data"
mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME"
export NODE_PATH="$CLIENT/node_modules"
cd "$TMP"
exec node "$HERE/opc_e2e.test.js" "$HOST"
