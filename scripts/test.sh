#!/usr/bin/env bash
# Builds everything with warnings as errors and runs the whole test suite.
#   BUILD_DIR   where to build (default: build)
#   further arguments go to cmake, e.g. -DSTORMER_SANITIZE=ON
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-packages.sh
build_dir=${BUILD_DIR:-build}
configured=$(cmake -S . -B "$build_dir" -DSTORMER_WERROR=ON "$@")
grep 'FLINT:' <<<"$configured" || true
cmake --build "$build_dir" -j "$(nproc)"
cd "$build_dir"
ctest --output-on-failure -j "$(nproc)"
