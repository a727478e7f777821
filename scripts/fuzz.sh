#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for the given seconds
# (default 300), starting from the seed corpus in tests/fuzz/corpus. New
# inputs go to build-fuzz/corpus, never into the repository. Fails when a
# target is missing, or when a fuzzer finds a fault or fails to run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-300}
scripts/install-packages.sh clang libclang-rt-dev
CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTORMER_FUZZ=ON -DSTORMER_WERROR=ON \
    -DSTORMER_TESTS=OFF -DSTORMER_BENCHMARKS=OFF >/dev/null
cmake --build build-fuzz -j "$(nproc)" >/dev/null
for target in conversation readers; do
    fuzzer="build-fuzz/tests/fuzz/${target}_fuzz"
    if [ ! -x "$fuzzer" ]; then
        echo "missing fuzz target: $fuzzer" >&2
        exit 1
    fi
    mkdir -p "build-fuzz/corpus/$target"
    echo "fuzzing $target for $seconds s"
    log="build-fuzz/${target}.log"
    status=0
    "$fuzzer" -max_total_time="$seconds" -max_len=256 -print_final_stats=1 \
        "build-fuzz/corpus/$target" "tests/fuzz/corpus/$target" >"$log" 2>&1 || status=$?
    grep -E '^(#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|==[0-9]+==ERROR)|SUMMARY|deadly' "$log" || true
    if [ "$status" -ne 0 ]; then
        echo "fuzzing $target failed with status $status; the whole log is in $log" >&2
        tail -n 40 "$log" >&2
        exit "$status"
    fi
done
