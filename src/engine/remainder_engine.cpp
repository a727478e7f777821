// Term by term, the series costs time quadratic in the number of digits. Its
// result can be had exactly in far less; this is the one place the identity
// that allows it is derived (stormer_series.h has the symbols).
//
// Read every limb number as an integer scaled by B = 10^D. The powers hold
// floor(Y_m / m^n_k) with Y_m = w_m B (nested floors of exact divisions
// collapse), term k is t_k = floor(A_k / n_k) with A_k the sum of the powers
// and n_k = 2k+1, the series stops at the first k >= 1 with t_k = 0 (K), and
// the result is R = sum over k < K of (-1)^k t_k.
//
// Writing each floor as the exact quotient less its fraction,
//   R = B pi - sum_m tail_m - F - G
// where tail_m is Y_m times the rest of arctan(1/m)'s series from k = K_m on
// (K_m: where the powers of m run out, at most K), F sums (-1)^k
// frac(Y_m / m^n_k) / n_k and G sums (-1)^k (A_k mod n_k) / n_k. R is a whole
// number, so the right side to within its error budget, rounded, is R
// exactly. With B pi = P + phi (P its whole part), R = P + round(phi - tails
// - F - G): the digits of pi, less a small whole number taken off their end
// (correction.h).
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
#include <array>
#include <cassert>
#include <memory>
#include <span>

#include "engine/big_numbers.h"
#include "engine/pi_digits.h"
#include "engine/task_plan.h"
#include "engine/term_by_term_engine.h"
#include "platform/memory.h"
#include "platform/threads.h"

namespace {

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
using OwnedRunWork = std::unique_ptr<RunWork, FreeRunWork>;

// What a run needs beyond the program's own and its result, with room to
// spare: address space (a thread's stack counts whole there) and memory in
// use (of a stack only what is touched). FLINT's small-prime FFT holds a
// little more memory in use than GMP's products, its tables.
constexpr std::size_t mib = std::size_t{1} << 20;
constexpr MemoryNeed memory_need_at(std::int32_t places)
{
    const auto p = static_cast<std::size_t>(places);
    const MemoryFigures address_space{2 * mib + 6 * p, thread_stack_bytes + (std::size_t{64} << 10) + 7 * p};
    const MemoryFigures resident{(large_products_through_flint ? 5 : 3) * mib + 4 * p, mib + 8 * p};
    return MemoryNeed{address_space, resident};
}

// What those figures stand for: the peaks of `bench/engine_check --threads T
// remainder PLACES` beyond its start, less the result, the most of five runs
// a size, in MiB, with the heap as the program has it where the memory check
// binds (one for all threads; under a limit on address space, every large
// block mapped apart). bench/memory_need.sh measures them and prints these
// rows; the build checks that memory_need_at covers every one.
struct MeasuredPeak {
    std::int32_t places;
    unsigned threads;
    double address_space_mib;
    double resident_mib;
};
// Made by `bench/memory_need.sh` (2026-12-09, AMD EPYC, FLINT 3.6.0, GMP 6.2.1 from
// /var/cache/stormer-pi/flint/install/lib/glibc-hwcaps/x86-64-v3/libflint.so.24), with FLINT's products:
constexpr std::array<MeasuredPeak, 9> peaks_with_flint_products{{
    {100000, 1, 3.5, 4.5},
    {100000, 2, 6.7, 5.5},
    {100000, 3, 9.5, 6.6},
    {400000, 1, 6.5, 7.5},
    {400000, 2, 11.9, 11.1},
    {400000, 3, 16.6, 13.3},
    {1599999, 1, 18.0, 19.6},
    {1599999, 2, 31.7, 31.8},
    {1599999, 3, 43.0, 41.2},
}};
// Made by `bench/memory_need.sh` (2026-12-09, AMD EPYC, FLINT 2.9.0, GMP 6.2.1 from
// /lib/x86_64-linux-gnu/libflint.so.17), with GMP's products:
constexpr std::array<MeasuredPeak, 9> peaks_with_gmp_products{{
    {100000, 1, 3.3, 3.5},
    {100000, 2, 6.0, 4.0},
    {100000, 3, 8.1, 4.4},
    {400000, 1, 5.7, 6.0},
    {400000, 2, 10.5, 8.8},
    {400000, 3, 12.7, 9.1},
    {1599999, 1, 15.3, 16.9},
    {1599999, 2, 27.3, 29.4},
    {1599999, 3, 31.4, 30.9},
}};
constexpr const std::array<MeasuredPeak, 9>& measured_peaks =
    large_products_through_flint ? peaks_with_flint_products : peaks_with_gmp_products;

constexpr bool memory_need_covers(std::span<const MeasuredPeak> peaks)
{
    for (const MeasuredPeak peak : peaks) {
        const MemoryNeed need = memory_need_at(peak.places);
        if (static_cast<double>(need.address_space.with_threads(peak.threads)) < peak.address_space_mib * mib ||
            static_cast<double>(need.resident.with_threads(peak.threads)) < peak.resident_mib * mib) {
            return false;
        }
    }
    return true;
}
static_assert(memory_need_covers(measured_peaks), "a run may need more memory than the check asks for");

} // namespace

RemainderEngine::RemainderEngine(unsigned thread_count, TextSink& notices, Untrusted untrusted)
    : thread_count_(std::max(1U, thread_count)), notices_(notices), untrusted_(untrusted)
{
}

unsigned RemainderEngine::most_threads() const { return std::min(thread_count_, most_useful_threads); }

MemoryNeed RemainderEngine::memory_needed(RunSize size) const { return memory_need_at(size.places); }

SumOutcome RemainderEngine::sum_into(RunSize size, LimbSpan result, TextSink& progress, unsigned threads)
{
    assert(result.size() == static_cast<std::size_t>(size.limbs));
    if (size.limbs > largest_run.limbs) {
        return SumOutcome{0, SumFailure::too_large};
    }
    const SumOutcome no_memory{0, SumFailure::no_memory};
    OwnedRunWork work;
    if (!on_engine_stack([&] { work.reset(new RunWork(prepare_series(stormer_series, size.places), result)); })) {
        return no_memory;
    }
    give_back_free_memory(); // what preparing the series took and let go: the tasks' peak comes on top of it
    const auto terms_used = static_cast<std::int32_t>(work->series.zero_term + 1);

    ProgressLines lines(progress);
    ProgressPacer pacer(work->meter.meter(), lines, terms_used);
    if (!run_tasks(
            plan_tasks(*work), std::clamp(threads, 1U, most_threads()), thread_stack_bytes, [&] { pacer.catch_up(); },
            ProgressPacer::tick, release_library_caches)) {
        return no_memory;
    }
    pacer.finish();

    const Correction correction = correction_of(work->phi, work->series.parts, work->range_sums);
    last_correction_ = correction;
    if (const std::optional<long long> offset = whole_offset(correction)) {
        add_whole_number(result, *offset);
        return SumOutcome{terms_used, SumFailure::none};
    }
    work.reset();
    if (untrusted_ == Untrusted::fail) {
        return SumOutcome{terms_used, SumFailure::untrusted};
    }
    return sum_term_by_term_instead(size, result, lines, notices_, correction);
}

SumOutcome sum_term_by_term_instead(RunSize size, LimbSpan result, ProgressLines& lines, TextSink& notices,
                                    const Correction& correction)
{
    print(notices,
          "stormer-pi: the quick way to the digits failed its own check (it came to %.3Lg, where a whole number "
          "within %.3Lg was due); the %ld places are now being summed term by term, which takes far longer\n",
          correction.value, correction.error_bound, static_cast<long>(size.places));
    return sum_term_by_term(size, result, lines);
}
