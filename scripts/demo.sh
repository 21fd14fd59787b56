#!/usr/bin/env bash
# The main job: installs what is missing, builds, and runs KivoCam with the bundled phone
# simulator in a private network namespace (only loopback), a private sound server, and a
# virtual display when there is none. Prints what arrived and where the log, settings and files
# went, and the screenshot and the recording the phone asked for.
# Usage: scripts/demo.sh [seconds of streaming, at least 10, default 12]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh --target kivocam kivocam-phonesim kivocam-vcam
exec scripts/in-sandbox.sh scripts/demo-run.sh "${KIVOCAM_BUILD_DIR:-build}" "${1:-12}"
