#!/usr/bin/env bash
# Builds the program (Release) and runs it on this terminal. The first build
# takes a minute or so; its progress shows as it goes.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-packages.sh
echo "Building stormer-pi..."
configured=$(cmake -S . -B build -DCMAKE_BUILD_TYPE=Release)
grep 'FLINT:' <<<"$configured" || true
cmake --build build --target stormer-pi -j "$(nproc)"
exec build/stormer-pi
