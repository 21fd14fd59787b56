#!/usr/bin/env bash
# Runs inside the sandbox (see in-sandbox.sh): starts kivocam, streams from the phone simulator
# when it is built, then ends the program cleanly and shows the evidence.
set -uo pipefail
build="$1"
seconds="${2:-8}"
bin="$build/bin"
demo="$(mktemp -d /tmp/kivocam-demo-XXXXXX)"
export HOME="$demo/home" XDG_CONFIG_HOME="$demo/config" XDG_STATE_HOME="$demo/state"
export XDG_RUNTIME_DIR="$demo/runtime"
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_STATE_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
log="$XDG_STATE_HOME/KivoCam/kivocam.log"
# Debug level: every picture that reaches the main window is logged, so the log shows the stream.
export KIVOCAM_LOG_LEVEL="${KIVOCAM_LOG_LEVEL:-5}"

echo "== starting kivocam (adapters: $KIVOCAM_ADAPTERS)"
"$bin/kivocam" >"$demo/stderr.txt" 2>&1 &
pid=$!
for _ in $(seq 1 100); do
  grep -q "main window ready" "$log" 2>/dev/null && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if [ -x "$bin/kivocam-phonesim" ]; then
  echo "== phone simulator: finds the PC by discovery, streams 1280x720@30 and a 440 Hz tone for $seconds s"
  "$bin/kivocam-phonesim" --duration "$seconds" --discovery-timeout 10 2>&1 | grep -vE '^\[libx264' | tail -n 12
else
  sleep "$seconds"
fi
kill -TERM "$pid" 2>/dev/null
wait "$pid"
rc=$?
echo "== kivocam exited with $rc"
echo "== what the program logged ($log):"
grep -h "kivosp server started" "$demo/stderr.txt" | head -n 2
grep -E 'started \(pid|main window ready|kivosp server|Adapter name|Connnectd linked|turn into VideoUI|first audio block|Disconnected|exiting with' "$log" 2>/dev/null | head -n 20
echo "   pictures that reached the main window: $(grep -c 'Video Data: \[' "$log" 2>/dev/null)"
echo "== settings ($XDG_CONFIG_HOME/KivoCam/settings.json):"
cat "$XDG_CONFIG_HOME/KivoCam/settings.json" 2>/dev/null
echo
echo "== demo folder: $demo"
exit "$rc"
