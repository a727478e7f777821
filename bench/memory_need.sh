#!/usr/bin/env bash
# Measures what the memory check's figures stand for: the fast engine's peak
# address space (with one heap for all threads, as under a limit on address
# space) and peak resident memory (each thread with a heap of its own, as
# under a control group's limit) beyond the process's own, less the result,
# on 1 to 4 threads at 100,000, 400,000 and 1,599,999 places: the most of
# ROUNDS runs each (5 by default), one run a process. Compare them with
# RemainderEngine::memory_needed.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${ROUNDS:-5}
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build --target engine_check -j "$(nproc)" >/dev/null
# "address-space-KiB resident-KiB" of one run, from engine_check's line.
peaks() { sed -E 's/.*address space ([0-9]+) KiB, resident ([0-9]+) KiB.*/\1 \2/'; }
printf '%9s %7s %22s %22s\n' places threads 'address space, MiB' 'resident, MiB'
for places in 100000 400000 1599999; do
    result_kib=$(((places / 3 + 1) * 4 / 1024))
    for threads in 1 2 3 4; do
        most_address=0
        most_resident=0
        for _ in $(seq "$rounds"); do
            read -r address _ < <(MALLOC_ARENA_MAX=1 MALLOC_MMAP_THRESHOLD_=131072 \
                build/bench/engine_check --threads "$threads" fast "$places" | peaks)
            read -r _ resident < <(build/bench/engine_check --threads "$threads" fast "$places" | peaks)
            most_address=$((address > most_address ? address : most_address))
            most_resident=$((resident > most_resident ? resident : most_resident))
        done
        awk -v p="$places" -v t="$threads" -v a="$most_address" -v r="$most_resident" -v result="$result_kib" \
            'BEGIN {printf "%9s %7s %22.1f %22.1f\n", p, t, (a - result) / 1024, (r - result) / 1024}'
    done
done
