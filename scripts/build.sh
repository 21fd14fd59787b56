#!/usr/bin/env bash
# Configures (once) and builds KivoCam into ${KIVOCAM_BUILD_DIR:-build}.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${KIVOCAM_BUILD_DIR:-build}"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIVOCAM_WERROR="${KIVOCAM_WERROR:-OFF}" >/dev/null
fi
cmake --build "$build" -j"$(nproc)" "$@"
