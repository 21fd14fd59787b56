#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole test suite with CTest. The tests run in a
# fresh network namespace with only loopback (when the machine allows one) and under a virtual X
# server, with a private PulseAudio server for the audio tests.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
exec scripts/in-sandbox.sh ctest --test-dir "${KIVOCAM_BUILD_DIR:-build}" --output-on-failure -j"$(nproc)" "$@"
