#!/bin/sh
# Sets up a fresh Debian 12 machine, builds and runs the demo.
set -eu
cd "$(dirname "$0")/.."
if [ "${QORA_SKIP_SETUP:-0}" != 1 ]; then sh scripts/setup-debian.sh; fi
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2
exec sh scripts/demo.sh build
