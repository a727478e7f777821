#!/usr/bin/env bash
# Measures the program: which FLINT the build uses (version, fft_small, and
# the copy the loader picks), both engines at 100,000 places with their
# ratio, then the whole program (output to a file) side by side with
# Debian's `pi` command at 100,000, 400,000 and 1,599,999 places, on all the
# cores and on one (pinned to core 0 with taskset): median wall time, CPU
# time and peak memory of ROUNDS interleaved runs each, and the wall-time and
# CPU-time ratios; last, the remainder engine's peak memory at the largest size
# when given many threads (MANY_THREADS, 16 by default: the program itself
# starts no more than it pays to). With INSTRUCTIONS=1, also the
# instructions the engine runs on one thread at each size, counted by
# valgrind's callgrind (some ten minutes: repeatable whatever else the
# machine does, where times are not). `pi` is a benchmark peer only:
# installed here when root, never a build dependency.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${ROUNDS:-5}
scripts/install-packages.sh time
if ! command -v pi >/dev/null; then
    if [ "$(id -u)" -eq 0 ]; then
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq pi >/dev/null
    else
        echo "the side-by-side figures need Debian's pi command: apt-get install pi" >&2
    fi
fi
configured=$(cmake -S . -B build -DCMAKE_BUILD_TYPE=Release)
cmake --build build --target stormer-pi engine_benchmark engine_check -j "$(nproc)" >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "cores: $(nproc)"
grep -o 'FLINT: .*' <<<"$configured" || true
# The libflint the loader picks for the program, and whether that copy has
# the small-prime FFT (its entry points are there or not).
LD_DEBUG=libs build/stormer-pi </dev/null 2>"$work/loader" >/dev/null || true
loaded=$(sed -n 's|.*calling init: \(.*libflint[^ ]*\).*|\1|p' "$work/loader" | head -n 1)
if [ -n "$loaded" ]; then
    fft_small=no
    if nm -D --defined-only "$loaded" 2>/dev/null | grep ' sd_fft_ctx_init_prime$' >/dev/null; then fft_small=yes; fi
    echo "FLINT loaded: $loaded (fft_small $fft_small)"
fi
build/bench/engine_benchmark --benchmark_filter='/100000' | tee "$work/engines.txt"
awk '/^term_by_term/ {t=$2} /^by_remainders\/100000/ {r=$2}
     END {if (r > 0) printf "engines at 100,000 places: the remainder engine %.0f times faster\n", t / r}' "$work/engines.txt"

# One timed run: "wall-seconds cpu-seconds peak-kilobytes". The times come
# from the shell's own clock, in milliseconds (time's are in hundredths, too
# coarse at 100,000 places), so they include time's start-up: the same for
# both programs.
timed() {
    local TIMEFORMAT='%3R %3U %3S'
    { time /usr/bin/time -f '%M' -o "$work/time" "$@" >"$work/out"; } 2>"$work/times"
    awk -v peak="$(cat "$work/time")" '{print $1, $2 + $3, peak}' "$work/times"
}
median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

# The program finds its cores from its affinity, so taskset makes it a
# one-core run; `pi` is pinned the same way.
for places in 100000 400000 1599999; do
    printf '%s\nn y\n' "$places" >"$work/typed"
    for cores in all 1; do
        pin=()
        [ "$cores" = all ] || pin=(taskset -c 0)
        : >"$work/ours"
        : >"$work/peer"
        for _ in $(seq "$rounds"); do
            timed "${pin[@]}" build/stormer-pi <"$work/typed" >>"$work/ours"
            if command -v pi >/dev/null; then
                timed "${pin[@]}" pi $((places + 1)) >>"$work/peer"
            fi
        done
        ours=$(for field in 1 2 3; do cut -d' ' -f$field "$work/ours" | median; done | xargs)
        peer=$(if [ -s "$work/peer" ]; then for field in 1 2 3; do cut -d' ' -f$field "$work/peer" | median; done | xargs; fi)
        label=$([ "$cores" = all ] && echo "$(nproc) cores" || echo "1 core ")
        echo "$places $ours $peer" | awk -v label="$label" '{
            printf "%9s places, %s: stormer-pi %.3f s wall, %.3f s CPU, %6.1f MiB peak", $1, label, $2, $3, $4 / 1024
            if (NF > 4) printf " | pi %.3f s wall, %.3f s CPU, %6.1f MiB peak | wall ratio %.2f, CPU ratio %.2f",
                               $5, $6, $7 / 1024, $2 / $5, $3 / $6
        }'
        echo
    done
done
threads=${MANY_THREADS:-16}
/usr/bin/time -f '%M' -o "$work/time" build/bench/engine_check --threads "$threads" remainder 1599999 >/dev/null
awk -v threads="$threads" '{printf "1599999 places, the engine given %s threads: %.1f MiB peak\n", threads, $1 / 1024}' "$work/time"
if [ "${INSTRUCTIONS:-0}" = 1 ]; then
    scripts/install-packages.sh valgrind
    for places in 100000 400000 1599999; do
        valgrind --tool=callgrind --callgrind-out-file=/dev/null \
            build/bench/engine_check --threads 1 remainder "$places" 2>"$work/callgrind" >/dev/null
        sed -n 's/.*refs: *\([0-9,]*\).*/\1/p' "$work/callgrind" |
            awk -v p="$places" '{printf "%s places, the engine on one thread: %s instructions\n", p, $1}'
    done
fi
