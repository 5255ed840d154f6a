#!/bin/sh
# Installs the Debian 12 packages the build, the tests and the demo need.
set -eu
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends \
  build-essential cmake ninja-build ccache pkg-config \
  qt6-base-dev qt6-svg-dev qt6-translations-l10n libgl-dev \
  libgtest-dev libgmock-dev googletest libbenchmark-dev libssl-dev \
  clang-14 libclang-rt-14-dev clang-format-14 \
  libmosquitto-dev mosquitto mosquitto-clients \
  libsqlite3-dev \
  ca-certificates procps psmisc util-linux \
  xvfb fonts-dejavu-core openssl heaptrack desktop-file-utils
# Node.js and npm for the independent OPC UA test client: Debian's, unless a Node.js with its own
# npm is installed already (such a package conflicts with Debian's npm).
if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
  $SUDO apt-get install -y --no-install-recommends nodejs npm
fi
