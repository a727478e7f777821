// Term by term, the series costs time quadratic in the number of digits. Its
// result can be had exactly in far less.
//
// Read every limb number as an integer scaled by B = 10^D. The powers hold
// floor(Y_m / m^n_k) with Y_m = w_m B (nested floors of exact divisions
// collapse), term k is t_k = floor(A_k / n_k) with A_k the sum of the powers
// and n_k = 2k+1, the series stops at the first k >= 1 with t_k = 0 (K), and
// the result is R = sum over k < K of (-1)^k t_k (stormer_series.h has the
// symbols and the table of parts).
//
// Writing each floor as the exact quotient less its fraction,
//   R = B pi - sum_m tail_m - F - G
// where tail_m is Y_m times the part of arctan(1/m)'s series from k = K_m on
// (K_m: where the powers of m run out, at most K), F sums (-1)^k
// frac(Y_m / m^n_k) / n_k and G sums (-1)^k (A_k mod n_k) / n_k. R is a whole
// number, so the right side to within its error budget, rounded, is R
// exactly. With B pi = P + phi (P its whole part), R = P + round(phi - tails
// - F - G): the digits of pi, less a small whole number taken off their end
// (correction.cpp).
//
// What remains is every power's residue and a few bits of its fraction, for
// every k: scaled remainder trees over the exponents
// (scaled_remainder_tree.cpp), so the cost is that of a few big
// multiplications and divisions instead of K long divisions. The trees and
// the digits of pi run side by side on threads (task_plan.cpp).
//
// sum_into follows these steps: the series' sizes (stormer_series.cpp), the
// tasks (pi's digits and the trees), the correction, the result.

#include "engine/remainder_engine.h"

#include <algorithm>
#include <memory>

#include "engine/big_numbers.h"
#include "engine/pi_digits.h"
#include "engine/task_plan.h"
#include "engine/term_by_term_engine.h"
#include "platform/memory.h"
#include "platform/threads.h"

namespace {

// The largest size the engine sums: its last divisor n_K must stay within
// the trees' limit (and the term-by-term sum's, which takes over should the
// parts ever disagree).
constexpr std::int32_t largest_places = 1'600'000;
static_assert(largest_divisor_bound(largest_places) < tree_divisor_limit);

// pi's digits are one task, about a third of all the work: beyond three
// threads (pi's and two for the trees) a run ends hardly sooner, but every
// thread holds a term range's numbers in memory. So the work in flight is
// bounded, whatever the cores.
constexpr unsigned most_useful_threads = 3;

// Threads of the engine: their stack whatever the process's stack limit.
// The deepest seen is some 150 KB (the largest size, the libraries' own
// temporary space included): ample room.
constexpr std::size_t thread_stack_bytes = std::size_t{2} << 20;

// All big-number work runs on stacks of the engine's own (its threads', or
// this thread's where no thread can be had), whatever the process's stack
// limit: false, without running it, where no such stack can be had. The
// thread leaves the libraries' caches empty behind it.
bool on_engine_stack(const std::function<void()>& work)
{
    return run_with_stack(
        [&work] {
            work();
            release_library_caches();
        },
        thread_stack_bytes);
}

// The one owner of a run's numbers: when they go, the heap gives their
// memory back to the system.
struct FreeRunWork {
    void operator()(RunWork* work) const
    {
        delete work;
        give_back_free_memory();
    }
};
using RunMemory = std::unique_ptr<RunWork, FreeRunWork>;

} // namespace

RemainderEngine::RemainderEngine(unsigned thread_count, TextSink& notices)
    : thread_count_(std::max(1U, thread_count)), notices_(notices)
{
}

std::int32_t RemainderEngine::largest_limb_count() const { return limb_count_for(largest_places); }

unsigned RemainderEngine::most_threads() const { return std::min(thread_count_, most_useful_threads); }

MemoryNeed RemainderEngine::memory_needed(std::int32_t limb_count) const
{
    // Measured by bench/memory_need.sh: the peak address space of
    // bench/engine_check --threads T (T = 1 to 4; one heap for all threads,
    // as under a limit on address space) and its peak resident memory (a heap
    // for each thread, as without one), at 100,000, 400,000 and 1,599,999
    // places, less the program's own and the result. With room to spare:
    const auto places = static_cast<std::size_t>(reported_places_for(limb_count));
    constexpr std::size_t mib = std::size_t{1} << 20;
    // Address space (FLINT 2.9, and 3.6 with its small-prime FFT, alike): at
    // 1,599,999 places 19.8 MiB on one thread, 33.2 on two, 44.2 on three,
    // 53.3 on four; at 100,000 3.7, 6.8, 9.7 and 12.1.
    constexpr std::size_t shared_bytes_per_place = 12;
    constexpr std::size_t thread_bytes_per_place = 6;
    const MemoryFigures address_space{2 * mib + shared_bytes_per_place * places,
                                      thread_stack_bytes + (std::size_t{64} << 10) + thread_bytes_per_place * places};
    // In use (of a thread's stack only what it touches counts). FLINT's FFT
    // holds more of it than GMP's products: with FLINT 3.6 built for the
    // processor, at 1,599,999 places 30.8 MiB on one thread, 47.1 on two,
    // 57.4 on three, 64.1 on four; at 400,000 14.3, 18.6, 21.3 and 23.0; at
    // 100,000 11.0, 12.0, 13.2 and 14.2 (its tables, whatever the size). With
    // GMP's products (FLINT 2): 18.7, 30.9, 37.0 and 43.9; 6.5, 9.0, 10.7 and
    // 11.8; 3.7, 4.4, 5.0 and 5.4.
    const MemoryFigures resident = large_products_through_flint
                                       ? MemoryFigures{10 * mib + 3 * places, mib + 12 * places}
                                       : MemoryFigures{3 * mib + 4 * places, mib + 8 * places};
    return MemoryNeed{address_space, resident};
}

SumOutcome RemainderEngine::sum_into(LimbSpan result, TextSink& progress, unsigned threads)
{
    const auto limb_count = static_cast<std::int32_t>(result.size());
    if (limb_count > largest_limb_count()) {
        return SumOutcome{0, SumFailure::too_large};
    }
    const SumOutcome no_memory{0, SumFailure::no_memory};
    RunMemory work;
    if (!on_engine_stack([&] {
            work.reset(new RunWork(prepare_series(stormer_series, reported_places_for(limb_count)), result));
        })) {
        return no_memory;
    }
    give_back_free_memory(); // what preparing the series took and let go: the tasks' peak comes on top of it
    const auto terms_used = static_cast<std::int32_t>(work->series.zero_term + 1);

    ProgressLines lines(progress);
    ProgressPacer pacer(work->meter, lines, terms_used);
    if (!run_tasks(
            plan_tasks(*work), std::clamp(threads, 1U, most_threads()), thread_stack_bytes, [&] { pacer.catch_up(); },
            ProgressPacer::tick, release_library_caches)) {
        return no_memory;
    }
    pacer.finish();

    const Correction correction = correction_of(work->phi, work->series.parts, work->range_sums);
    if (const std::optional<long long> offset = whole_offset(correction)) {
        add_whole_number(result, *offset);
        return SumOutcome{terms_used, SumFailure::none};
    }
    work.reset();
    return sum_term_by_term_instead(result, lines, notices_, correction);
}

SumOutcome sum_term_by_term_instead(LimbSpan result, ProgressLines& lines, TextSink& notices,
                                    const Correction& correction)
{
    print(notices,
          "stormer-pi: the fast sum's parts disagree (they come to %.3Lg, further from a whole number than their error "
          "bound, %.3Lg, allows); "
          "summing the %zu limbs term by term instead, which takes far longer\n",
          correction.value, correction.error_bound, result.size());
    return sum_term_by_term(result, lines);
}
