#!/usr/bin/env bash
# Runs inside the sandbox (see in-sandbox.sh): starts a private sound server with the virtual
# microphone's source, starts kivocam, streams from the phone simulator (which also asks for a
# screenshot and a recording of about 5 s), records what other programs would receive from the
# virtual camera and the virtual microphone, then ends the program cleanly and shows the evidence:
# the log, the camera's pictures, the microphone's sound, and the PNG and MP4 the program saved.
set -uo pipefail
build="$1"
seconds="${2:-12}"
# The phone asks for a screenshot and starts recording once the picture is up, and stops the
# recording 5 s later, before the stream ends.
shot_at=3
record_from=3
record_to=8
[ "$seconds" -ge 10 ] || { echo "!! the demo needs at least 10 s of streaming"; exit 2; }
bin="$build/bin"
demo="$(mktemp -d /tmp/kivocam-demo-XXXXXX)"
export HOME="$demo/home" XDG_CONFIG_HOME="$demo/config" XDG_STATE_HOME="$demo/state"
export XDG_RUNTIME_DIR="$demo/runtime"
unset PIPEWIRE_REMOTE PIPEWIRE_RUNTIME_DIR  # the camera and microphone stay off the desktop's graph
mkdir -p "$HOME" "$XDG_CONFIG_HOME/KivoCam" "$XDG_STATE_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
log="$XDG_STATE_HOME/KivoCam/kivocam.log"
# Debug level: every picture that reaches the main window is logged, so the log shows the stream.
export KIVOCAM_LOG_LEVEL="${KIVOCAM_LOG_LEVEL:-5}"
devcon="$bin/Drivers/x64/devcon"
pulse_pid=""

cleanup() {
  [ -n "$pulse_pid" ] && kill "$pulse_pid" 2>/dev/null
  return 0
}
trap cleanup EXIT

# A sound server of this demo only, with a null sink as the speakers.
if command -v pulseaudio >/dev/null && command -v parec >/dev/null; then
  export PULSE_RUNTIME_PATH="$demo/pulse" PULSE_STATE_PATH="$demo/pulse/state"
  export PULSE_SERVER="unix:$demo/pulse/native"
  mkdir -p "$PULSE_RUNTIME_PATH" && chmod 700 "$PULSE_RUNTIME_PATH"
  pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no --system=no \
    --disable-shm=yes --log-target=stderr \
    -L "module-native-protocol-unix auth-anonymous=1 socket=$demo/pulse/native" \
    -L "module-null-sink sink_name=DemoSpeakers rate=48000 channels=1" \
    -L module-always-sink >"$demo/pulseaudio.txt" 2>&1 &
  pulse_pid=$!
  for _ in $(seq 1 50); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
  echo "== virtual microphone driver: $("$devcon" /r install "$bin/Drivers/x64/KivoVirtualAudioDevice.inf" '*KivoWaveExtensible')"
  # The microphone is switched on in the settings, as a user would have done.
  echo '{ "cfg_open_vmic" : "1" }' >"$XDG_CONFIG_HOME/KivoCam/settings.json"
fi

echo "== starting kivocam (adapters: $KIVOCAM_ADAPTERS)"
"$bin/kivocam" >"$demo/stderr.txt" 2>&1 &
pid=$!
for _ in $(seq 1 100); do
  grep -q "main window ready" "$log" 2>/dev/null && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done

# What a camera consumer sees, and what a recorder of the microphone hears.
"$bin/kivocam-vcam" --y4m "$demo/camera.y4m" --seconds "$((seconds + 4))" 2>"$demo/vcam.txt" &
vcam_pid=$!
parec_pid=""
if [ -n "$pulse_pid" ]; then
  parec -d KivoMic --format=s16le --rate=48000 --channels=1 --raw >"$demo/microphone.raw" &
  parec_pid=$!
fi

echo "== phone simulator: finds the PC by discovery, streams 1280x720@30 and a 440 Hz tone for $seconds s;"
echo "   asks for a screenshot at ${shot_at} s and records from ${record_from} s to ${record_to} s"
"$bin/kivocam-phonesim" --duration "$seconds" --discovery-timeout 10 --at "${shot_at}:screenshot" \
  --at "${record_from}:record-start" --at "${record_to}:record-stop" 2>&1 |
  grep -vE '^\[libx264|^(request|reply): \{"type":-1|"type":2,' | tail -n 12

[ -n "$parec_pid" ] && kill "$parec_pid" 2>/dev/null
wait "$vcam_pid" 2>/dev/null
kill -TERM "$pid" 2>/dev/null
wait "$pid"
rc=$?
echo "== kivocam exited with $rc"
echo "== what the program logged ($log):"
grep -h "kivosp server started" "$demo/stderr.txt" | head -n 2
grep -E 'started \(pid|main window ready|Adapter name|Connnectd linked|turn into VideoUI|first audio block|create virtualMic|Disconnected|exiting with' "$log" 2>/dev/null | head -n 20
pictures=$(grep -c 'Video Data: \[' "$log" 2>/dev/null)
echo "   pictures that reached the main window: $pictures"

echo "== what a camera consumer received ($demo/camera.y4m):"
if [ -s "$demo/camera.y4m" ]; then
  header=$(head -n 1 "$demo/camera.y4m")
  w=$(echo "$header" | sed -n 's/.* W\([0-9]*\) .*/\1/p')
  h=$(echo "$header" | sed -n 's/.* H\([0-9]*\) .*/\1/p')
  bytes=$(($(stat -c %s "$demo/camera.y4m") - ${#header} - 1))
  echo "   $header: $((bytes / (6 + w * h * 3 / 2))) pictures of ${w}x${h}"
else
  echo "   nothing"
fi
if [ -n "$pulse_pid" ]; then
  echo "== what a recorder of the KivoMic source heard ($demo/microphone.raw):"
  od -An -v -td2 -w2 "$demo/microphone.raw" | awk '
    { v = $1 + 0; n++; a = v < 0 ? -v : v; if (a > peak) peak = a
      # Loud stretches: within 10 ms of a sample above 1000.
      if (a > 1000) last = n
      if (last && n - last < 480) { loud++; if (n > 1 && (prev < 0) != (v < 0)) cross++ }
      prev = v }
    END { if (n == 0) { print "   nothing"; exit }
          printf "   %.1f s of 48 kHz mono, %.1f s of it sound: peak %d, %.0f Hz\n", n / 48000,
                 loud / 48000, peak, loud ? cross / 2 / (loud / 48000) : 0 }'
  echo "   driver removal: $("$devcon" remove '*KivoWaveExtensible')"
fi
echo "== what the program saved in the save folder ($HOME):"
shots=("$HOME"/KivoCam_shot*.png)
records=("$HOME"/KivoCam_recoder*.mp4)
missing=0
if [ -s "${shots[0]}" ]; then
  for f in "${shots[@]}"; do
    echo "   screenshot $(basename "$f"): $(file -b "$f" 2>/dev/null || stat -c '%s bytes' "$f")"
  done
else
  echo "   no screenshot"
  missing=1
fi
if [ -s "${records[0]}" ]; then
  for f in "${records[@]}"; do
    echo "   recording $(basename "$f"): $(stat -c %s "$f") bytes"
    ffprobe -v error -show_entries stream=codec_type,codec_name,width,height,sample_rate,channels \
      -show_entries format=duration -of compact=p=0 "$f" 2>&1 | sed 's/^/     /'
  done
else
  echo "   no recording"
  missing=1
fi
grep -E 'cutScreenShoot|recording (started|stopped)|record request refused|screenshot request dropped' "$log" 2>/dev/null | head -n 6
echo "== settings ($XDG_CONFIG_HOME/KivoCam/settings.json):"
cat "$XDG_CONFIG_HOME/KivoCam/settings.json" 2>/dev/null
echo
echo "== demo folder: $demo"
if [ "$rc" -eq 0 ] && [ "${pictures:-0}" -eq 0 ]; then
  echo "!! no picture reached the program"
  rc=1
fi
if [ "$rc" -eq 0 ] && [ "$missing" -ne 0 ]; then
  echo "!! the screenshot or the recording is missing"
  rc=1
fi
exit "$rc"
