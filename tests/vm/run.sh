#!/usr/bin/env bash
# The camera against the real v4l2loopback kernel module: boots Debian's own kernel in a virtual
# machine (qemu, no network device at all), loads the module there and runs the checks of
# tests/vm/guest.sh with the programs of the build tree. One line per check, then a summary.
#
#   tests/vm/run.sh [--build DIR] [--quick]
#
# --quick leaves out the slower checks (the full set takes about twice as long). The first run
# prepares the kernel, the module and the initramfs under DIR/vm (tests/vm/setup.sh); later runs
# reuse them. Fails with a message, never passes, when the machine cannot run the test.
set -euo pipefail
repo="$(cd "$(dirname "$0")/../.." && pwd)"
build="$repo/build"
set_name=full
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build="$2"; shift 2 ;;
    --quick) set_name=quick; shift ;;
    *) echo "usage: tests/vm/run.sh [--build DIR] [--quick]" >&2; exit 2 ;;
  esac
done
build="$(cd "$build" && pwd)"
fail() {
  echo "vm.camera: FAILED: $*" >&2
  exit 1
}
for b in kivocam-vcam kivo-vmcam; do
  [ -x "$build/bin/$b" ] || fail "$build/bin/$b is missing (build the tree first)"
done
case "$repo$build" in
  *[[:space:]]*) fail "the repository and build paths must not contain spaces" ;;
esac

t0=$(date +%s.%N)
kver="$("$repo/tests/vm/setup.sh" "$build/vm" | tail -n 1)" || fail "the set-up failed (see above)"
t1=$(date +%s.%N)

results="$(mktemp -d "$build/vm/run-XXXXXX")"
trap 'rm -rf "$results"' EXIT
cat >"$results/params" <<EOF
REPO=$repo
BUILD=$build
SET=$set_name
VIDEO_NR=7
EOF
: >"$results/cases"
# No /dev/kvm on the machines this runs on; where there is one, it is much faster.
accel=tcg
if [ -w /dev/kvm ]; then accel=kvm; fi
status=0
timeout 840 qemu-system-x86_64 -accel "$accel" -smp 2 -m 1536 -no-reboot \
  -display none -monitor none -serial "file:$results/serial.log" -nic none \
  -kernel "$build/vm/kernel-$kver/boot/vmlinuz-$kver" -initrd "$build/vm/initrd-$kver.cpio.gz" \
  -append "console=ttyS0 quiet loglevel=3 panic=-1" \
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
  -virtfs "local,path=$repo,mount_tag=repo,security_model=none,readonly=on,multidevs=remap" \
  -virtfs "local,path=$build,mount_tag=build,security_model=none,readonly=on,multidevs=remap" \
  -virtfs "local,path=$results,mount_tag=results,security_model=none" || status=$?
t2=$(date +%s.%N)

echo "--- guest output"
cat "$results/console" 2>/dev/null || true
if [ -f "$results/v4l2-ctl.txt" ]; then
  echo "--- v4l2-ctl --all, while a consumer streams"
  cat "$results/v4l2-ctl.txt"
fi
echo "--- checks"
cat "$results/cases"
awk -v a="$t0" -v b="$t1" -v c="$t2" -v how="$accel, $set_name set" \
  'BEGIN { printf "set-up %.0f s, boot and checks %.0f s (%s)\n", b - a, c - b, how }'
if [ ! -f "$results/finished" ]; then
  echo "--- serial console"
  tail -n 40 "$results/serial.log" 2>/dev/null || true
  fail "the virtual machine did not finish its checks (qemu status $status)"
fi
passed=$(grep -c '^PASS ' "$results/cases" || true)
failed=$(grep -c '^FAIL ' "$results/cases" || true)
expected=$(grep -c '^EXPECT ' "$results/plan" 2>/dev/null || true)
[ "$passed" -gt 0 ] || fail "no check ran"
[ "$failed" -eq 0 ] || fail "$failed of $((passed + failed)) checks failed"
[ "$passed" -eq "$expected" ] || fail "$passed checks passed, $expected were planned"
echo "vm.camera: all $passed checks passed"
