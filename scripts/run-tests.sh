#!/bin/sh
# Sets up a fresh Debian 12 machine, builds with warnings as errors and runs the whole suite.
set -eu
cd "$(dirname "$0")/.."
if [ "${QORA_SKIP_SETUP:-0}" != 1 ]; then sh scripts/setup-debian.sh; fi
# Independent OPC UA clients used by the tests (pinned in their package-lock.json files).
for lock in $(find tests -name package-lock.json -not -path '*/node_modules/*'); do
  (cd "$(dirname "$lock")" && npm ci --no-audit --no-fund)
done
BUILD="${QORA_BUILD_DIR:-build}"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQORA_WERROR=ON
cmake --build "$BUILD" -j2
ctest --test-dir "$BUILD" --output-on-failure -j2 --timeout 300
