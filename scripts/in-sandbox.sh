#!/usr/bin/env bash
# Runs a command with only loopback networking (a fresh network namespace), a virtual display when
# there is none, and loopback-only discovery adapters.
set -euo pipefail
export KIVOCAM_ADAPTERS="${KIVOCAM_ADAPTERS-lo0|Loopback adapter|127.0.0.2}"
inner=("$@")
if [ -z "${DISPLAY:-}" ]; then
  # -noreset: the server would otherwise reset whenever its last client leaves, and a client
  # connecting just then is refused.
  inner=(xvfb-run -a -s "-screen 0 1920x1200x24 -noreset" "${inner[@]}")
fi
if [ -z "${KIVOCAM_IN_NETNS:-}" ] && unshare -n true 2>/dev/null; then
  export KIVOCAM_IN_NETNS=1
  exec unshare -n sh -c 'ip link set lo up && exec "$@"' sandbox "${inner[@]}"
fi
exec "${inner[@]}"
