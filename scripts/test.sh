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
rm -rf "$reports"
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
status=0
if [ -z "$dirs" ]; then
  KIVOCAM_BUILD_DIR="$build" scripts/build.sh
  "${run[@]}" ctest --test-dir "$build" --output-on-failure -j"$(nproc)" "${excluded[@]}" "$@" ||
    status=1
else
  # Only the named test folders (and what their tests start) are built and run.
  for d in $dirs; do
    if [ -f "$build/build.ninja" ]; then
      ninja -C "$build" -j"$(nproc)" "tests/$d/all"
    else
      cmake --build "$build/tests/$d" -j"$(nproc)"
    fi
  done
  for d in $dirs; do
    "${run[@]}" ctest --test-dir "$build/tests/$d" --output-on-failure -j"$(nproc)" \
      "${excluded[@]}" "$@" || status=1
  done
fi
if [ "$status" != 0 ]; then
  if [ -z "$dirs" ]; then scripts/ctest-digest.sh "$build"; else
    for d in $dirs; do scripts/ctest-digest.sh "$build/tests/$d"; done
  fi
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
