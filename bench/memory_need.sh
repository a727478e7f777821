#!/usr/bin/env bash
# Measures what the memory check's figures stand for, and prints them as the
# rows of the table in src/engine/remainder_engine.cpp, stamped with the
# date, the machine and the libraries: the remainder engine's peak address
# space and peak memory in use beyond the process's start, less the result,
# on 1 to 3 threads at 100,000, 400,000 and 1,599,999 places, the most of
# ROUNDS runs each (5 by default), one run a process. The heap is as the
# program has it where the check binds: one for all threads, and under a
# limit on address space every large block mapped apart. The build checks
# that the check's figures cover every row.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${ROUNDS:-5}
build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build_dir" --target engine_check -j "$(nproc)" >/dev/null
engine_check=$build_dir/bench/engine_check
# "address-space-KiB resident-KiB" of one run, from engine_check's line.
peaks() { sed -E 's/.*address space ([0-9]+) KiB, resident ([0-9]+) KiB.*/\1 \2/'; }
loader_says=$(LD_DEBUG=libs "$engine_check" --versions 2>&1 >/dev/null || true)
loaded=$(sed -n 's|.*calling init: \(.*libflint[^ ]*\).*|\1|p' <<<"$loader_says")
loaded=${loaded%%$'\n'*}
versions=$("$engine_check" --versions 2>/dev/null || echo "libraries unknown")
processor=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
echo "// Made by \`bench/memory_need.sh\` ($(date -u +%F), $processor, $versions from ${loaded:-no FLINT}):"
rows=()
for places in 100000 400000 1599999; do
    result_kib=$(((places / 3 + 1) * 4 / 1024))
    for threads in 1 2 3; do
        most_address=0
        most_resident=0
        for _ in $(seq "$rounds"); do
            read -r address _ < <(MALLOC_ARENA_MAX=1 MALLOC_MMAP_THRESHOLD_=131072 \
                "$engine_check" --threads "$threads" remainder "$places" | peaks)
            read -r _ resident < <(MALLOC_ARENA_MAX=1 "$engine_check" --threads "$threads" remainder "$places" | peaks)
            most_address=$((address > most_address ? address : most_address))
            most_resident=$((resident > most_resident ? resident : most_resident))
        done
        rows+=("$(awk -v p="$places" -v t="$threads" -v a="$most_address" -v r="$most_resident" -v result="$result_kib" \
            'BEGIN {printf "{%d, %d, %.1f, %.1f}", p, t, (a - result) / 1024, (r - result) / 1024}')")
    done
done
for ((i = 0; i < ${#rows[@]}; i += 3)); do
    echo "    ${rows[i]}, ${rows[i + 1]}, ${rows[i + 2]},"
done
