#!/usr/bin/env bash
# The remainder engine against the term-by-term engine, whole results, at
# sizes up to 200,000 places (the larger ones take the term-by-term engine
# about a minute).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build --target engine_check -j "$(nproc)" >/dev/null
sizes=(31000 45001 50000 64999 77777 99999 120002 150000 175000 199999 200000)
for i in $(seq 1 8); do sizes+=($((30000 + RANDOM * 5))); done
build/bench/engine_check compare "${sizes[@]}"
