#!/usr/bin/env bash
# Both engines side by side at 100,000 places with their ratio, then the fast
# engine alone at the largest size with wall time and peak memory.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-packages.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build --target engine_benchmark engine_check -j "$(nproc)" >/dev/null
echo "cores: $(nproc)"
build/bench/engine_benchmark --benchmark_filter='/100000' | tee /tmp/stormer-bench.txt
awk '/^term_by_term/ {t=$2} /^by_remainders\/100000/ {r=$2} END {if (r > 0) printf "ratio at 100,000 places: %.0f times faster\n", t / r}' /tmp/stormer-bench.txt
/usr/bin/time -v build/bench/engine_check fast 1599999 2>&1 |
    grep -E 'places:|Elapsed \(wall|Maximum resident'
