#!/bin/sh
# Sets up a fresh Debian 12 machine, builds with warnings as errors and runs the whole suite.
set -eu
cd "$(dirname "$0")/.."
if [ "${QORA_SKIP_SETUP:-0}" != 1 ]; then sh scripts/setup-debian.sh; fi
for dir in tests/integration/opcua-client; do
  if [ -f "$dir/package-lock.json" ]; then (cd "$dir" && npm ci --no-audit --no-fund); fi
done
BUILD="${QORA_BUILD_DIR:-build}"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQORA_WERROR=ON
cmake --build "$BUILD" -j2
ctest --test-dir "$BUILD" --output-on-failure -j2 --timeout 300
