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

echo "== starting kivocam (adapters: $KIVOCAM_ADAPTERS)"
"$bin/kivocam" >"$demo/stderr.txt" 2>&1 &
pid=$!
for _ in $(seq 1 100); do
  grep -q "main window ready" "$log" 2>/dev/null && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if [ -x "$bin/kivocam-phonesim" ] && grep -q "command server" "$log" 2>/dev/null; then
  echo "== phone simulator streams for $seconds s"
  "$bin/kivocam-phonesim" --host 127.0.0.1 --port 10080 --duration "$seconds" || true
else
  sleep "$seconds"
fi
kill -TERM "$pid" 2>/dev/null
wait "$pid"
rc=$?
echo "== kivocam exited with $rc"
echo "== log ($log):"
head -n 40 "$log" 2>/dev/null
echo "== settings ($XDG_CONFIG_HOME/KivoCam/settings.json):"
cat "$XDG_CONFIG_HOME/KivoCam/settings.json" 2>/dev/null
echo
echo "== demo folder: $demo"
exit "$rc"
