#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for the given seconds
# (default 300), starting from the seed corpus in tests/fuzz/corpus. New
# inputs go to build-fuzz/corpus, never into the repository.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-300}
scripts/install-packages.sh clang libclang-rt-14-dev
CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTORMER_FUZZ=ON \
    -DSTORMER_TESTS=OFF -DSTORMER_BENCHMARKS=OFF >/dev/null
cmake --build build-fuzz -j "$(nproc)" >/dev/null
for target in conversation readers; do
    mkdir -p "build-fuzz/corpus/$target"
    echo "fuzzing $target for $seconds s"
    "build-fuzz/tests/fuzz/${target}_fuzz" -max_total_time="$seconds" -max_len=256 -print_final_stats=1 \
        "build-fuzz/corpus/$target" "tests/fuzz/corpus/$target" 2>&1 |
        grep -E '^(#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|==[0-9]+==ERROR)|SUMMARY|deadly' || true
    test "${PIPESTATUS[0]}" -eq 0
done
