#!/bin/sh
# Builds the libFuzzer targets with clang and runs each for a bounded time over its seeds.
# Usage: fuzz/run.sh [--ci] [SECONDS [TARGET...]]
#   SECONDS  per target (default 60; 10 with --ci)
#   TARGET   e.g. fuzz_settings_file (default: all)
#   --ci     starts from the seeds alone and keeps nothing it finds, so every run is alike;
#            any crash, leak, or input slower than 10 s fails the run.
# New inputs go to $build/corpus/<target>, findings to $build/artifacts/ (build folder:
# $KIVO_FUZZ_BUILD, default build-fuzz/ in the repository).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
ci=0
if [ "${1:-}" = "--ci" ]; then
    ci=1
    shift
fi
seconds=${1:-$([ $ci = 1 ] && echo 10 || echo 60)}
[ $# -gt 0 ] && shift
targets=${*:-"fuzz_control_request fuzz_media_packet fuzz_settings_file fuzz_instance_message
    fuzz_camera_block fuzz_phonesim_reply"}
build=${KIVO_FUZZ_BUILD:-$here/../build-fuzz}

generator=
command -v ninja >/dev/null 2>&1 && generator="-G Ninja"
mkdir -p "$build"
# shellcheck disable=SC2086
if ! { cmake -S "$here" -B "$build" $generator -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ &&
    cmake --build "$build" -j2; } >"$build/build.log" 2>&1; then
    cat "$build/build.log"
    echo "!! building the fuzz targets failed"
    exit 1
fi

status=0
for target in $targets; do
    seeds="$here/seeds/${target#fuzz_}"
    corpus="$build/corpus/$target"
    [ $ci = 1 ] && corpus="$build/ci-corpus/$target" && rm -rf "$corpus"
    mkdir -p "$corpus" "$build/artifacts"
    echo "== $target: ${seconds}s"
    if ! "$build/$target" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 \
        -timeout=10 -artifact_prefix="$build/artifacts/$target-" -print_final_stats=1 \
        "$corpus" "$seeds" 2>"$build/$target.log"; then
        status=1
        echo "!! $target found a problem; see $build/$target.log and $build/artifacts/"
        grep -E "ERROR|SUMMARY|Test unit written" "$build/$target.log" || true
    fi
    grep -E "^#[0-9]+.*(DONE|INITED)" "$build/$target.log" | tail -1 || true
    grep -E "^stat::number_of_executed_units|^stat::peak_rss_mb" "$build/$target.log" || true
done
exit $status
