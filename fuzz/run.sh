#!/bin/sh
# Builds the libFuzzer targets with clang and runs each for a bounded time.
# Usage: fuzz/run.sh [seconds per target, default 60]   (build folder: $KIVO_FUZZ_BUILD)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
seconds=${1:-60}
build=${KIVO_FUZZ_BUILD:-$here/../build-fuzz}

cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j2

status=0
for target in fuzz_control_request fuzz_media_packet; do
    seeds="$here/seeds/${target#fuzz_}"
    corpus="$build/corpus/$target"
    mkdir -p "$corpus" "$build/artifacts"
    echo "== $target: ${seconds}s"
    if ! "$build/$target" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 \
        -artifact_prefix="$build/artifacts/$target-" -print_final_stats=1 \
        "$corpus" "$seeds" 2>"$build/$target.log"; then
        status=1
        echo "!! $target found a problem; see $build/$target.log and $build/artifacts/"
    fi
    grep -E "^stat::number_of_executed_units|^stat::peak_rss_mb|ERROR|SUMMARY" \
        "$build/$target.log" || true
done
exit $status
