#!/bin/bash
# The camera checks, run inside the test's virtual machine (tests/vm/init.sh starts this in a
# chroot of the host's root, with v4l2loopback loaded as a user would load it). A writer stages
# pictures in the camera block the way the program does; kivocam-vcam --register feeds the
# device; consumers are ffmpeg and v4l2-ctl, as a user's programs would be. Each check appends
# "PASS name: figures" or "FAIL name: reason" to the results share.
set -u
results=/tmp/results
. "$results/params"
bin="$BUILD/bin"
vcam="$bin/kivocam-vcam"
tool="$bin/kivo-vmcam"
dev="/dev/video$VIDEO_NR"
work=/tmp/work
mkdir -p "$work" /run/user/0 /tmp/state
export XDG_RUNTIME_DIR=/run/user/0 XDG_STATE_HOME=/tmp/state HOME=/tmp
vlog="$XDG_STATE_HOME/KivoCam/kivocam-vcam.log"
lockfile="$XDG_RUNTIME_DIR/kivocam-vcam.pid"

case "$SET" in
  quick) checks="landscape portrait placeholder restart-kill second-register restart-step two-consumers" ;;
  *) checks="landscape portrait placeholder restart-term restart-kill second-register restart-step two-consumers size-busy no-access" ;;
esac
for c in $checks; do echo "EXPECT $c" >>"$results/plan"; done

ms() {
  local t=${EPOCHREALTIME/./}
  echo $((t / 1000))
}
record() { # PASS|FAIL name text
  echo "$1 $2: $3" >>"$results/cases"
  echo "$1 $2: $3"
}
owner() {
  local p=0
  [ -f "$lockfile" ] && read -r p _ <"$lockfile"
  echo "${p:-0}"
}
alive() { [ "$1" -gt 0 ] 2>/dev/null && kill -0 "$1" 2>/dev/null; }
feeds() {
  local n
  n=$(grep -c feeding "$vlog" 2>/dev/null)
  echo "${n:-0}"
}
# Waits up to $2 ms until the log has said "feeding" $1 times.
wait_feeding() {
  local end=$(($(ms) + $2))
  while [ "$(feeds)" -lt "$1" ]; do
    [ "$(ms)" -lt "$end" ] || return 1
    sleep 0.05
  done
}
declare -A consumer
start_consumer() { # name
  # Passthrough: a constant-rate output would repeat the last picture to fill a pause, and those
  # repeats would count as pictures received.
  ffmpeg -hide_banner -nostdin -f v4l2 -i "$dev" -fps_mode passthrough -f rawvideo \
    -pix_fmt yuv420p - \
    2>"$work/$1.err" > >(exec "$tool" watch "$work/$1.frames") &
  consumer[$1]=$!
}
# frames NAME KIND AFTER WITHIN COUNT: sets $got to the tool's answer ("delay kind=n ...").
frames() {
  got=$("$tool" wait "$work/$1.frames" "$2" "$3" "$4" "$5")
}
kinds_ok() { [[ " $got " != *" other="* ]]; }

# The writer, as the program's camera side, fed by commands on a FIFO.
mkfifo "$work/writer"
"$tool" write <"$work/writer" 2>"$work/writer.log" &
writer=$!
exec 3>"$work/writer"
echo landscape >&3

"$vcam" --register 2>"$work/register.err"
rc=$?
if [ $rc -ne 0 ] || ! wait_feeding 1 20000; then
  record FAIL boot "kivocam-vcam --register: status $rc, $(cat "$work/register.err" "$vlog" 2>/dev/null | tail -n 3)"
  exit 1
fi

for check in $checks; do
  case "$check" in
  landscape)
    t=$(ms)
    start_consumer c1
    if ! frames c1 landscape "$t" 60000 30; then
      record FAIL landscape "30 pictures did not arrive within 60 s ($got); $(tail -n 3 "$work/c1.err")"
      continue
    fi
    v4l2-ctl -d "$dev" --all >"$results/v4l2-ctl.txt" 2>&1
    grep -E "Card type|Device Caps|Video Capture|Width/Height|Pixel Format" "$results/v4l2-ctl.txt" \
      >"$work/ctl"
    why=""
    grep -Eq "Card type +: KivoCam$" "$work/ctl" || why+=" no card named KivoCam;"
    grep -A2 "Device Caps" "$results/v4l2-ctl.txt" | grep -q "Video Capture" ||
      why+=" the device does not offer capture;"
    grep -Eq "Width/Height +: 1280/720" "$work/ctl" || why+=" not 1280/720;"
    grep -Eq "Pixel Format +: 'YU12'" "$work/ctl" || why+=" not YU12;"
    grep -q "yuv420p.*1280x720" "$work/c1.err" || why+=" ffmpeg does not see yuv420p 1280x720;"
    kinds_ok || why+=" pictures unlike what was written ($got);"
    if [ -z "$why" ]; then
      record PASS landscape "first picture after ${got%% *} ms, 30 of 30 as written; $(tr -s ' ' <"$work/ctl" | paste -sd '|')"
    else
      record FAIL landscape "$why"
    fi
    ;;
  portrait)
    t=$(ms)
    echo portrait >&3
    if frames c1 portrait "$t" 10000 15 && kinds_ok && alive "${consumer[c1]}"; then
      p="$got"
      t=$(ms)
      echo landscape >&3
      if frames c1 landscape "$t" 10000 5; then
        record PASS portrait "letterboxed 1280x720 after ${p%% *} ms ($p), landscape again after ${got%% *} ms"
      else
        record FAIL portrait "no landscape picture after the turn back ($got)"
      fi
    else
      record FAIL portrait "${got:-} consumer alive: $(alive "${consumer[c1]}" && echo yes || echo no)"
    fi
    ;;
  placeholder)
    t=$(ms)
    echo stop >&3
    # "About a second": the figure includes the consumer's own lag, which a starved guest (TCG on
    # a busy host) stretches to several hundred ms; the component itself switches at once.
    if frames c1 placeholder "$t" 5000 1 && [ "${got%% *}" -le 1500 ]; then
      record PASS placeholder "placeholder ${got%% *} ms after the \"no phone\" header ($got)"
    else
      record FAIL placeholder "no placeholder within 1.5 s ($got)"
    fi
    t=$(ms)
    echo landscape >&3
    frames c1 landscape "$t" 10000 5 || record FAIL placeholder "no picture after the next start"
    ;;
  restart-term | restart-kill)
    sig=TERM
    [ "$check" = restart-kill ] && sig=KILL
    old=$(owner)
    n=$(feeds)
    kill -"$sig" "$old"
    end=$(($(ms) + 5000))
    while alive "$old" && [ "$(ms)" -lt "$end" ]; do sleep 0.02; done
    t=$(ms)
    "$vcam" --register 2>>"$work/register.err"
    if wait_feeding $((n + 1)) 10000 && frames c1 landscape "$t" 15000 10 && kinds_ok &&
      alive "${consumer[c1]}"; then
      record PASS "$check" "SIG$sig: the consumer carried on, pictures again $((${got%% *})) ms after the new --register ($got)"
    else
      record FAIL "$check" "SIG$sig: ${got:-no answer}; consumer alive: $(alive "${consumer[c1]}" && echo yes || echo no); $(tail -n 2 "$work/c1.err")"
    fi
    ;;
  second-register)
    old=$(owner)
    out=$("$vcam" --register 2>&1)
    rc=$?
    if [ $rc -eq 0 ] && [[ "$out" == *"already running"* ]] && [ "$(owner)" = "$old" ] &&
      alive "$old"; then
      record PASS second-register "status 0, \"$out\", the running component kept"
    else
      record FAIL second-register "status $rc, \"$out\", component $old -> $(owner)"
    fi
    ;;
  restart-step)
    # The program's own restart: --unregister, and --register 5 ms later, both left to run.
    bad=0
    delays=""
    for round in 1 2 3 4 5 6 7 8; do
      old=$(owner)
      t=$(ms)
      ( "$vcam" --unregister 2>>"$work/unregister.err"; echo $? >"$work/unregister.rc" ) &
      sleep 0.005
      "$vcam" --register 2>>"$work/register.err"
      rrc=$?
      wait $!
      urc=$(cat "$work/unregister.rc")
      end=$((t + 3000))
      while { [ "$(owner)" = "$old" ] || ! alive "$(owner)"; } && [ "$(ms)" -lt "$end" ]; do
        sleep 0.02
      done
      tnew=$(ms)
      got="-1"
      if [ "$(owner)" != "$old" ] && [ "$tnew" -lt "$end" ]; then
        # More pictures than the device and ffmpeg can hold back from before the restart.
        frames c1 landscape "$tnew" $((end - tnew)) 6
      fi
      if [ "$urc" = 0 ] && [ $rrc -eq 0 ] && [ "${got%% *}" -ge 0 ]; then
        delays+=" $((tnew - t + ${got%% *}))"
      else
        bad=$((bad + 1))
        # Late or never: a starved guest is told apart from a camera left without a component.
        if [ "$(owner)" != "$old" ] && frames c1 landscape "$tnew" 10000 6; then
          delays+=" late:$((tnew - t + ${got%% *}))"
        else
          delays+=" none"
        fi
        echo "round $round: --unregister $urc, --register $rrc, component $old -> $(owner), $got"
      fi
    done
    if [ $bad -eq 0 ]; then
      record PASS restart-step "8 of 8 rounds, pictures again after (ms):$delays"
    else
      record FAIL restart-step "$bad of 8 rounds without pictures within 3 s (ms):$delays; $(tail -n 2 "$work/unregister.err" "$work/register.err" | paste -sd '|')"
    fi
    ;;
  two-consumers)
    t=$(ms)
    start_consumer c2
    if frames c2 landscape "$t" 60000 30 && kinds_ok; then
      second="$got"
      t=$(ms)
      if frames c1 landscape "$t" 10000 30 && frames c2 landscape "$t" 10000 30; then
        record PASS two-consumers "the second got 30 pictures (first after ${second%% *} ms), then both 30 more"
      else
        record FAIL two-consumers "both at once: $got; alive: c1 $(alive "${consumer[c1]}" && echo yes || echo no), c2 $(alive "${consumer[c2]}" && echo yes || echo no); $(tail -n 2 "$work/c1.err" "$work/c2.err" | paste -sd '|')"
      fi
    else
      record FAIL two-consumers "the second consumer: ${got:-}; $(tail -n 2 "$work/c2.err")"
    fi
    kill "${consumer[c2]}" 2>/dev/null
    ;;
  size-busy)
    "$vcam" --unregister 2>>"$work/unregister.err"
    out=$(timeout 15 "$vcam" --register --foreground --size 640x480 2>&1)
    rc=$?
    n=$(feeds)
    t=$(ms)
    "$vcam" --register 2>>"$work/register.err"
    if [ $rc -eq 1 ] && [[ "$out" == *"keeps its format 1280x720 while a program uses it"* ]] &&
      wait_feeding $((n + 1)) 10000 && frames c1 landscape "$t" 15000 5; then
      record PASS size-busy "status 1, \"${out##*kivocam-vcam: }\"; the consumer carried on at 1280x720"
    else
      record FAIL size-busy "status $rc, \"$out\", ${got:-}"
    fi
    ;;
  no-access)
    chgrp video "$dev" && chmod 0660 "$dev"
    mkdir -p /tmp/rt-nobody && chmod 0777 /tmp/rt-nobody
    out=$(XDG_RUNTIME_DIR=/tmp/rt-nobody setpriv --reuid=65534 --regid=65534 --clear-groups \
      "$vcam" --register --foreground 2>&1)
    rc=$?
    chmod 0600 "$dev"
    if [ $rc -eq 3 ] && [[ "$out" == *"may open: $dev belongs to the group \"video\""* ]] &&
      [[ "$out" == *"usermod -aG video"* ]]; then
      record PASS no-access "status 3, \"$(grep -m1 'may open' <<<"$out")\""
    else
      record FAIL no-access "status $rc, \"$out\""
    fi
    ;;
  esac
done

for c in c1 c2; do
  [ -f "$work/$c.frames" ] || continue
  echo "INFO $c received $(awk '{n[$2]++} END {for (k in n) printf "%s=%d ", k, n[k]}' "$work/$c.frames")" |
    tee -a "$results/cases"
done
echo quit >&3
exec 3>&-
"$vcam" --unregister 2>/dev/null
kill "${consumer[c1]}" 2>/dev/null
wait "$writer" 2>/dev/null
cat "$work/writer.log" "$vlog" 2>/dev/null | tail -n 20
exit 0
