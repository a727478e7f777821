#!/usr/bin/env bash
# Builds the program (Release) and runs it on this terminal.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-packages.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build --target stormer-pi -j "$(nproc)" >/dev/null
exec build/stormer-pi
