#!/usr/bin/env bash
# The main job: installs what is missing, builds, and runs KivoCam with the bundled phone
# simulator in a private network namespace (only loopback) and a virtual display when there is
# none. Prints what arrived and where the log, settings and files went.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh --target kivocam
if cmake --build "${KIVOCAM_BUILD_DIR:-build}" --target help | grep -q kivocam-phonesim; then
  scripts/build.sh --target kivocam-phonesim
fi
exec scripts/in-sandbox.sh scripts/demo-run.sh "${KIVOCAM_BUILD_DIR:-build}" "${1:-8}"
