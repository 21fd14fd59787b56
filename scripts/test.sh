#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole test suite with CTest. The tests run in a
# fresh network namespace with only loopback (when the machine allows one) and under a virtual X
# server, with a private PulseAudio server for the audio tests.
#
#   scripts/test.sh [CTEST ARGS...]              the normal build (build/)
#   scripts/test.sh --sanitize [CTEST ARGS...]   AddressSanitizer, LeakSanitizer and
#                                                UndefinedBehaviorSanitizer (build-asan/)
#   scripts/test.sh --tsan [CTEST ARGS...]       ThreadSanitizer over the threaded tests (build-tsan/)
#
# KIVOCAM_SANITIZE_DIRS="mirror output ..." limits a sanitizer run to those folders of tests/;
# KIVOCAM_SANITIZE_SKIP=REGEX leaves out the tests it matches.
#
# A sanitizer finding fails the test it happens in, also when it happens in one of our programs
# a test starts: they come from the same build.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
mode=""
case "${1:-}" in
  --sanitize) mode=address; shift ;;
  --tsan) mode=thread; shift ;;
esac

scripts/install-deps.sh
if [ -z "$mode" ]; then
  scripts/build.sh
  build="${KIVOCAM_BUILD_DIR:-build}"
  if ! scripts/in-sandbox.sh ctest --test-dir "$build" --output-on-failure -j"$(nproc)" "$@"; then
    scripts/ctest-digest.sh "$build"
    exit 1
  fi
  exit 0
fi

supp="$root/sanitizers"
if [ "$mode" = address ]; then build=build-asan; else build=build-tsan; fi
# Every report also goes to a file here, so a finding in a program a test starts and whose exit
# status the test does not look at still fails the run.
reports="$root/$build/sanitizer-reports"
rm -rf "$reports" "$reports-tool-crashes"
mkdir -p "$reports"
if [ "$mode" = address ]; then
  export ASAN_OPTIONS="detect_leaks=1:check_initialization_order=1:strict_init_order=1:detect_stack_use_after_return=1:log_path=$reports/asan"
  export LSAN_OPTIONS="suppressions=$supp/lsan.supp:print_suppressions=0"
  export UBSAN_OPTIONS="suppressions=$supp/ubsan.supp:print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
else
  export TSAN_OPTIONS="suppressions=$supp/tsan.supp:print_suppressions=0:second_deadlock_stack=1:history_size=4:log_path=$reports/tsan"
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
  # Benchmarks measure speed, which a sanitizer build does not have.
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIVOCAM_SANITIZE="$mode" \
    -DKIVOCAM_BUILD_BENCH=OFF -DKIVOCAM_WERROR="${KIVOCAM_WERROR:-OFF}" >/dev/null
fi

run=(scripts/in-sandbox.sh)
# This test uses up every descriptor on purpose; the sanitizer runtime needs descriptors of its own
# to check memory and to write its report, so it would report nonsense there. The normal suite
# runs it.
skip='^BadInput\.AcceptFailureKeepsServing$'
skip+="${KIVOCAM_SANITIZE_SKIP:+|$KIVOCAM_SANITIZE_SKIP}"
excluded=(-E "$skip")
if [ "$mode" = thread ]; then
  # The threaded parts; the renderer is left out: it runs on Mesa's threads, which the checker
  # cannot see into.
  dirs="${KIVOCAM_SANITIZE_DIRS:-bridge mirror output record avrecmux}"
  excluded=(-E "$skip|^Renderer")
  # ThreadSanitizer wants its fixed address layout; without randomisation it always gets it.
  run=(setarch "$(uname -m)" -R "${run[@]}")
else
  dirs="${KIVOCAM_SANITIZE_DIRS:-}"
fi
# The CTest folders this run covers.
if [ -z "$dirs" ]; then
  KIVOCAM_BUILD_DIR="$build" scripts/build.sh
  testdirs=("$build")
else
  # Only the named test folders (and what their tests start) are built and run.
  testdirs=()
  for d in $dirs; do
    if [ -f "$build/build.ninja" ]; then
      ninja -C "$build" -j"$(nproc)" "tests/$d/all"
    else
      cmake --build "$build/tests/$d" -j"$(nproc)"
    fi
    testdirs+=("$build/tests/$d")
  done
fi
status=0
for t in "${testdirs[@]}"; do
  rm -f "$t/Testing/Temporary/LastTestsFailed.log"
  "${run[@]}" ctest --test-dir "$t" --output-on-failure -j"$(nproc)" "${excluded[@]}" "$@" ||
    status=1
done

# LeakSanitizer's own stop-the-world tracer now and then crashes as a process exits ("Tracer caught
# signal 11"). That is a fault of the tool, not a finding, and the process's test fails with it.
# Such tests run once more; any real finding, or a second crash, still fails the run.
tool_crash() {
  grep -q 'LeakSanitizer has encountered a fatal error' "$1" &&
    ! grep -qE 'ERROR: (Address|Leak|Undefined)Sanitizer|runtime error|SUMMARY:' "$1"
}
sort_reports() {
  crashes=()
  findings=()
  local f
  for f in "$reports"/*; do
    [ -e "$f" ] || continue
    if tool_crash "$f"; then crashes+=("$f"); else findings+=("$f"); fi
  done
}
failed_count() {
  local n=0 t
  for t in "${testdirs[@]}"; do
    if [ -f "$t/Testing/Temporary/LastTestsFailed.log" ]; then
      n=$((n + $(wc -l <"$t/Testing/Temporary/LastTestsFailed.log")))
    fi
  done
  echo "$n"
}
sort_reports
if [ ${#crashes[@]} -gt 0 ]; then
  mkdir -p "$reports-tool-crashes"
  for f in "${crashes[@]}"; do
    echo "=== the sanitizer itself crashed, not a finding: $f"
    cat "$f"
    mv "$f" "$reports-tool-crashes/"
  done
  if [ "$status" != 0 ] && [ ${#findings[@]} = 0 ] && [ "$(failed_count)" -le ${#crashes[@]} ]; then
    echo "=== running the failed tests once more"
    status=0
    for t in "${testdirs[@]}"; do
      [ -s "$t/Testing/Temporary/LastTestsFailed.log" ] || continue
      "${run[@]}" ctest --test-dir "$t" --output-on-failure --rerun-failed "${excluded[@]}" "$@" ||
        status=1
    done
    sort_reports
  fi
fi

if [ "$status" != 0 ]; then
  for t in "${testdirs[@]}"; do scripts/ctest-digest.sh "$t"; done
fi
found=("$reports"/*)
if [ -e "${found[0]}" ]; then
  for f in "${found[@]}"; do
    echo "=== sanitizer report $f"
    cat "$f"
  done
  echo "${#found[@]} sanitizer report file(s) in $reports"
  status=1
fi
exit $status
