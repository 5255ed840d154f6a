#!/bin/sh
# Runs one node-opcua-client test script against the test host, with the client's PKI in a
# temporary folder. Usage: run.sh <ua_test_host> <script.js> [args...]
# QORA_NODE_CLIENT names another client folder (its own pinned node_modules and scripts).
set -eu
HERE="${QORA_NODE_CLIENT:-$(cd "$(dirname "$0")" && pwd)}"
HOST="$1"; SCRIPT="$2"; shift 2
if [ ! -d "$HERE/node_modules/node-opcua-client" ]; then
  echo "SKIPPED: node_modules missing in $HERE (run 'npm ci' there)"
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
cd "$HERE"
exec node "$HERE/$SCRIPT" "$HOST" "$@"
