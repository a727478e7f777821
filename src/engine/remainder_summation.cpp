// Term by term, the series costs time quadratic in the number of digits. Its
// result can be had exactly in far less.
//
// Read every limb number as an integer scaled by B = 10^D. The powers hold
// floor(Y_m / m^(2k+1)) with Y_8 = 24B, Y_57 = 8B, Y_239 = 4B (nested floors
// of exact divisions collapse), term k is t_k = floor(A_k / n_k) with A_k the
// sum of the three powers and n_k = 2k+1, the series stops at the first k >= 1
// with t_k = 0 (call it K), and the result is R = sum over k < K of (-1)^k t_k.
//
// Writing each floor as the exact quotient less its fraction,
//   R = B pi - sum_m Y_m tail_m - F - G
// where tail_m is the part of arctan(1/m)'s series from k = K_m on (K_m: where
// the powers of m run out, at most K), F sums (-1)^k frac(Y_m / m^n_k) / n_k and
// G sums (-1)^k (A_k mod n_k) / n_k. R is an integer, so the right side to
// within a quarter, rounded, is R exactly. With B pi = P + phi (P its integer
// part), R = P + round(phi - tails - F - G): the digits of pi, less a small
// whole number taken off their end.
//
// What remains is floor(Y_m / m^n_k) mod n_k and a few bits of its fraction,
// for every k: scaled remainder trees over the exponents (remainder_tree.cpp), so the
// cost is that of a few big multiplications and divisions instead of K long
// divisions. The trees and the digits of pi run side by side on threads.

#include "engine/remainder_summation.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cassert>
#include <cmath>
#include <functional>
#include <gmpxx.h>
#include <memory>
#include <mpfr.h>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/arb_library.h"
#include "engine/remainder_tree.h"
#include "platform/system_io.h"
#include "platform/system_specific.h"
#include "platform/threads.h"

namespace {

struct ArctanSeries {
    unsigned long base;  // m
    unsigned long scale; // Y_m = scale * 10^D
};
constexpr std::array<ArctanSeries, 3> series_of_pi{{{8, 24}, {57, 8}, {239, 4}}};

// Digits of pi computed past the last place: its fraction phi to 1e-24, far
// finer than the quarter that rounding allows.
constexpr unsigned long pi_guard_digits = 24;
// Bits beyond 10^(D + guard digits) for pi's ball: the floor of its midpoint
// is then off by at most one in the last guard digit.
constexpr slong pi_guard_bits = 64;
// The tails are sums of size about 1 whose terms fall by m^2 a step; 160 bits
// leave their rounding far below 1e-30.
constexpr mpfr_prec_t tail_precision = 160;
// Terms of a tail smaller than this change the (alternating, falling) sum by
// less than themselves: negligible against the quarter.
constexpr double tail_cutoff = 1e-30;
// log2 of numbers of a few million bits is good to about 1e-9 in double: a
// closer call is settled exactly.
constexpr double log2_close_call = 1e-6;
// R is a whole number: a sum landing further than this from one is not trusted.
constexpr long double trust_margin = 0.25L;
// Threads of the engine: their stack whatever the process's stack limit.
// The deepest seen is some 150 KB (the largest size, the libraries' own
// temporary space included): ample room.
constexpr std::size_t thread_stack_bytes = std::size_t{2} << 20;
// Each base's queries are cut into this many independent trees, so that the
// threads can share the work out evenly.
constexpr unsigned chunks_per_base = 4;

// Owners of the libraries' numbers.
struct MpfrNumber {
    mpfr_t value;
    explicit MpfrNumber(mpfr_prec_t precision) { mpfr_init2(value, precision); }
    ~MpfrNumber() { mpfr_clear(value); }
    MpfrNumber(const MpfrNumber&) = delete;
    MpfrNumber& operator=(const MpfrNumber&) = delete;
};
template <typename Number, void (*initialise)(Number*), void (*clear)(Number*)> struct FlintNumber {
    Number value[1];
    FlintNumber() { initialise(value); }
    ~FlintNumber() { clear(value); }
    FlintNumber(const FlintNumber&) = delete;
    FlintNumber& operator=(const FlintNumber&) = delete;
};
using ArbNumber = FlintNumber<arb_struct, arb_init, arb_clear>;
using FmpzNumber = FlintNumber<fmpz, fmpz_init, fmpz_clear>;

double log2_of(const mpz_class& y)
{
    long exponent = 0;
    const double mantissa = mpz_get_d_2exp(&exponent, y.get_mpz_t());
    return static_cast<double>(exponent) + std::log2(mantissa);
}

// floor(y / m^n).
mpz_class floor_power_quotient(const mpz_class& y, unsigned long m, unsigned long n)
{
    mpz_class quotient;
    // m^n well beyond y need not be built.
    if (static_cast<double>(n) * std::log2(static_cast<double>(m)) <= log2_of(y) + 2) {
        mpz_class power;
        mpz_ui_pow_ui(power.get_mpz_t(), m, n);
        mpz_fdiv_q(quotient.get_mpz_t(), y.get_mpz_t(), power.get_mpz_t());
    }
    return quotient;
}

// Whether m^n > y, from logarithms where they settle it.
bool power_exceeds(const mpz_class& y, unsigned long m, unsigned long n)
{
    const double log2_power = static_cast<double>(n) * std::log2(static_cast<double>(m));
    if (std::fabs(log2_power - log2_of(y)) > log2_close_call) {
        return log2_power > log2_of(y);
    }
    return floor_power_quotient(y, m, n) == 0;
}

// The first k >= 1 where a condition that holds from some k on starts to hold,
// searched from a close estimate.
std::int64_t first_k_where(const std::function<bool(std::int64_t)>& holds, std::int64_t estimate)
{
    std::int64_t k = std::max<std::int64_t>(1, estimate);
    while (!holds(k)) {
        ++k;
    }
    while (k > 1 && holds(k - 1)) {
        --k;
    }
    return k;
}

// k where m^(2k+1) first exceeds y, roughly.
std::int64_t estimate_powers_run_out(double log2_y, unsigned long m)
{
    return static_cast<std::int64_t>((log2_y / std::log2(static_cast<double>(m)) - 1) / 2);
}

// Products modulo an odd divisor n < 2^26 without a division: a product of
// two residues is exact in a double, so its quotient by n from the
// reciprocal is off by one at most.
class SmallModulus {
public:
    explicit SmallModulus(std::uint64_t n) : n_(n), reciprocal_(1.0 / static_cast<double>(n))
    {
        assert(n < (std::uint64_t{1} << 26));
    }

    std::uint64_t multiply(std::uint64_t a, std::uint64_t b) const
    {
        const std::uint64_t product = a * b;
        const auto quotient = static_cast<std::uint64_t>(static_cast<double>(product) * reciprocal_);
        auto remainder = static_cast<std::int64_t>(product - quotient * n_);
        const auto n = static_cast<std::int64_t>(n_);
        if (remainder < 0) {
            remainder += n;
        } else if (remainder >= n) {
            remainder -= n;
        }
        return static_cast<std::uint64_t>(remainder);
    }

    std::uint64_t power(std::uint64_t base, std::uint64_t exponent) const
    {
        std::uint64_t power = 1 % n_;
        base %= n_;
        for (; exponent > 0; exponent /= 2) {
            if (exponent % 2 == 1) {
                power = multiply(power, base);
            }
            base = multiply(base, base);
        }
        return power;
    }

private:
    std::uint64_t n_;
    double reciprocal_;
};

// y * sum over k >= first of (-1)^k / (n_k m^n_k).
long double scaled_tail(unsigned long scale, std::int32_t places, unsigned long m, std::int64_t first)
{
    MpfrNumber term(tail_precision), power(tail_precision), sum(tail_precision), part(tail_precision);
    mpfr_ui_pow_ui(term.value, 10, static_cast<unsigned long>(places), MPFR_RNDN);
    mpfr_mul_ui(term.value, term.value, scale, MPFR_RNDN);
    mpfr_ui_pow_ui(power.value, m, odd_divisor(first), MPFR_RNDN);
    mpfr_div(term.value, term.value, power.value, MPFR_RNDN); // y / m^n_first
    mpfr_set_zero(sum.value, 1);
    for (std::int64_t k = first; mpfr_cmp_d(term.value, tail_cutoff) > 0; ++k) {
        mpfr_div_ui(part.value, term.value, odd_divisor(k), MPFR_RNDN);
        if (k % 2 == 0) {
            mpfr_add(sum.value, sum.value, part.value, MPFR_RNDN);
        } else {
            mpfr_sub(sum.value, sum.value, part.value, MPFR_RNDN);
        }
        mpfr_div_ui(term.value, term.value, m * m, MPFR_RNDN);
    }
    return mpfr_get_ld(sum.value, MPFR_RNDN);
}

// The decimal digits of floor(10^(D + guard digits) pi): "3" and D + guard
// more. pi comes as a whole number of 2^-precision, and the power of ten from
// the caller, who has 10^D at hand.
std::string digits_of_pi(std::int32_t places, const mpz_class& ten_to_places)
{
    const unsigned long digits_after_point = static_cast<unsigned long>(places) + pi_guard_digits;
    const auto precision =
        static_cast<slong>(std::ceil(static_cast<double>(digits_after_point) * std::log2(10.0))) + pi_guard_bits;
    ArbNumber pi;
    arb_const_pi(pi.value, precision);
    arb_mul_2exp_si(pi.value, pi.value, precision);
    FmpzNumber whole;
    arf_get_fmpz(whole.value, arb_midref(pi.value), ARF_RND_FLOOR);
    mpz_class scaled_pi;
    fmpz_get_mpz(scaled_pi.get_mpz_t(), whole.value);
    mpz_class ten_to_digits;
    mpz_ui_pow_ui(ten_to_digits.get_mpz_t(), 10, pi_guard_digits);
    scaled_pi *= ten_to_places * ten_to_digits;
    mpz_fdiv_q_2exp(scaled_pi.get_mpz_t(), scaled_pi.get_mpz_t(), static_cast<mp_bitcnt_t>(precision));
    return scaled_pi.get_str(10);
}

// digits (a whole number in decimal) plus a small whole number, in place.
void add_to_decimal(std::string& digits, long long addend)
{
    long long carry = addend;
    for (std::size_t i = digits.size(); i-- > 0 && carry != 0;) {
        long long value = (digits[i] - '0') + carry;
        carry = value >= 0 ? value / 10 : -((9 - value) / 10);
        value -= carry * 10;
        digits[i] = static_cast<char>('0' + value);
    }
    assert(carry == 0 && "the correction is far smaller than pi's digits");
}

// The result's limbs from "3" and 3(N - 1) decimal digits.
void write_limbs(std::string_view digits, LimbSpan result)
{
    assert(digits.size() == 3 * result.size() - 2);
    result[0] = digits[0] - '0';
    for (std::size_t k = 1; k < result.size(); ++k) {
        const char* group = digits.data() + 1 + 3 * (k - 1);
        result[k] = (group[0] - '0') * 100 + (group[1] - '0') * 10 + (group[2] - '0');
    }
}

// A tree's divisors, made by the first of the trees over its terms to need
// them and given back by the last.
struct SharedDivisors {
    SharedDivisors(std::int64_t first, std::int64_t end) : first(first), end(end) {}

    std::int64_t first;
    std::int64_t end;
    std::once_flag made;
    std::shared_ptr<const DivisorTree> tree;
    std::atomic<int> users{1};
};

// Everything one run works out, and the work that fills it in.
struct RunPlan {
    std::int32_t places = 0;
    std::int64_t zero_term = 0;                            // K
    std::array<std::int64_t, 3> counts{};                  // terms with a non-zero power, for each base
    std::int64_t whole_quotients = 0;                      // base 8's terms whose quotient is a whole number
    mpz_class ten_to_places;                               // B = 10^D
    std::array<mpz_class, 3> y;                            // Y_m
    mpz_class odd_part_of_y8;                              // 3 5^D: Y_8 = 3 5^D 2^(D+3)
    std::array<std::vector<std::uint32_t>, 3> residues;    // floor(Y_m / m^n_k) mod n_k
    std::vector<std::optional<long double>> fractions;     // F, one part for each tree; empty if in doubt
    std::vector<std::unique_ptr<SharedDivisors>> divisors; // for the trees, each shared by those over its terms
    std::string pi_digits;
    // Work done, in units of each kind, the units to do, and what a unit is
    // worth in time: the three trees, the digits of pi, the whole quotients.
    std::array<std::atomic<std::uint64_t>, 5> done{};
    std::array<double, 5> units{};
    std::array<double, 5> unit_cost{};
};

constexpr std::size_t pi_work = 3;
constexpr std::size_t whole_work = 4;
constexpr std::int64_t whole_quotients_a_unit = 16;

// Base 8: while 3n_k <= D + 3 the quotient is the whole number
// 3 5^D 2^(D+3-3n_k), with no fraction, and its residue a matter of modular
// powers. After that it is 3 5^D shifted right: a smaller number for the tree.
std::int64_t whole_quotients_of_eight(std::int32_t places, std::int64_t count)
{
    return std::min<std::int64_t>(count, static_cast<std::int64_t>(places / 6 + 1));
}

void residues_of_whole_quotients(RunPlan& plan, std::int64_t first, std::int64_t end)
{
    const auto d = static_cast<std::uint64_t>(plan.places);
    for (std::int64_t k = first; k < end; ++k) {
        const std::uint64_t n = odd_divisor(k);
        const SmallModulus modulo(n);
        plan.residues[0][static_cast<std::size_t>(k)] = static_cast<std::uint32_t>(
            modulo.multiply(modulo.multiply(3, modulo.power(5, d)), modulo.power(2, d + 3 - 3 * n)));
        if (k % whole_quotients_a_unit == 0) {
            plan.done[whole_work].fetch_add(1, std::memory_order_relaxed);
        }
    }
}

// [first, end) cut into this many runs of about the same length.
std::vector<std::pair<std::int64_t, std::int64_t>> cut(std::int64_t first, std::int64_t end, std::int64_t parts)
{
    std::vector<std::pair<std::int64_t, std::int64_t>> runs;
    for (std::int64_t part = 0; part < parts; ++part) {
        const std::int64_t from = first + (end - first) * part / parts;
        const std::int64_t to = first + (end - first) * (part + 1) / parts;
        if (from < to) {
            runs.emplace_back(from, to);
        }
    }
    return runs;
}

// The tasks of a run, longest first, so that the threads finish close together.
std::vector<std::function<void()>> plan_tasks(RunPlan& plan)
{
    struct Task {
        double cost;
        std::function<void()> work;
    };
    std::vector<Task> tasks;
    const auto divisors_for = [&](std::int64_t first, std::int64_t end) -> SharedDivisors& {
        for (const std::unique_ptr<SharedDivisors>& shared : plan.divisors) {
            if (shared->first == first && shared->end == end) {
                ++shared->users;
                return *shared;
            }
        }
        plan.divisors.push_back(std::make_unique<SharedDivisors>(first, end));
        return *plan.divisors.back();
    };
    const auto add_tree = [&](std::size_t i, const mpz_class& y, PowerQueries chunk) {
        SharedDivisors& divisors = divisors_for(chunk.first, chunk.end);
        const std::size_t slot = plan.fractions.size();
        plan.fractions.emplace_back(0.0L);
        const auto count = static_cast<std::size_t>(chunk.end - chunk.first);
        tasks.push_back(
            {plan.unit_cost[i] * 2 * static_cast<double>(count), [&plan, &y, &divisors, chunk, i, slot, count] {
                 std::call_once(divisors.made, [&] { divisors.tree = divisor_tree(divisors.first, divisors.end); });
                 const std::span<std::uint32_t> residues(plan.residues[i].data() + chunk.first, count);
                 plan.fractions[slot] = answer_power_queries(y, chunk, *divisors.tree, residues, plan.done[i]);
                 if (--divisors.users == 0) {
                     divisors.tree.reset();
                 }
             }});
    };
    const auto d = static_cast<unsigned long>(plan.places);
    const std::int64_t whole = plan.whole_quotients;
    // The whole quotients in short runs: the last tasks to be taken, so
    // neither thread waits long for the other at the end.
    for (const auto& run : cut(0, whole, chunks_per_base)) {
        const std::int64_t first = run.first;
        const std::int64_t end = run.second;
        tasks.push_back({plan.unit_cost[whole_work] * static_cast<double>(end - first) / whole_quotients_a_unit,
                         [&plan, first, end] { residues_of_whole_quotients(plan, first, end); }});
    }
    for (const auto& [first, end] : cut(whole, plan.counts[0], chunks_per_base)) {
        add_tree(0, plan.odd_part_of_y8,
                 PowerQueries{.base = 2, .scale = 3, .offset = d + 3, .first = first, .end = end});
    }
    // Base 239's terms are the first of base 57's: the same runs, so that
    // the two share their divisors; base 57's further terms in runs of about
    // that length.
    const std::int64_t shared_terms = plan.counts[2];
    const auto runs_of_239 = cut(0, shared_terms, chunks_per_base);
    auto runs_of_57 = runs_of_239;
    const std::int64_t further_runs =
        shared_terms > 0 ? std::max<std::int64_t>(1, (plan.counts[1] - shared_terms) * chunks_per_base / shared_terms)
                         : chunks_per_base;
    for (const auto& run : cut(shared_terms, plan.counts[1], further_runs)) {
        runs_of_57.push_back(run);
    }
    for (const auto& [first, end] : runs_of_57) {
        add_tree(1, plan.y[1], PowerQueries{.base = series_of_pi[1].base, .first = first, .end = end});
    }
    for (const auto& [first, end] : runs_of_239) {
        add_tree(2, plan.y[2], PowerQueries{.base = series_of_pi[2].base, .first = first, .end = end});
    }
    tasks.push_back({plan.units[pi_work] * plan.unit_cost[pi_work], [&plan] {
                         plan.pi_digits = digits_of_pi(plan.places, plan.ten_to_places);
                         plan.done[pi_work] = static_cast<std::uint64_t>(plan.units[pi_work]);
                         flint_cleanup();
                     }});
    std::stable_sort(tasks.begin(), tasks.end(), [](const Task& a, const Task& b) { return a.cost > b.cost; });
    std::vector<std::function<void()>> ordered;
    for (Task& task : tasks) {
        ordered.push_back(std::move(task.work));
    }
    return ordered;
}

// Writes "<Reached term no. ...>" lines as the share of work done passes each.
class ProgressPacer {
public:
    ProgressPacer(const RunPlan& plan, std::int32_t terms_used, TextSink& progress)
        : plan_(plan), lines_(terms_used / 100), progress_(progress)
    {
        for (std::size_t i = 0; i < plan.units.size(); ++i) {
            total_ += plan.units[i] * plan.unit_cost[i];
        }
    }

    void catch_up()
    {
        double done = 0;
        for (std::size_t i = 0; i < plan_.units.size(); ++i) {
            done += static_cast<double>(plan_.done[i].load(std::memory_order_relaxed)) * plan_.unit_cost[i];
        }
        const auto due = total_ > 0 ? static_cast<std::int32_t>(lines_ * std::min(1.0, done / total_)) : lines_;
        write_up_to(due);
    }

    void finish() { write_up_to(lines_); }

private:
    void write_up_to(std::int32_t line)
    {
        for (; written_ < line; ++written_) {
            print(progress_, "<Reached term no. %li>\n", static_cast<long>(100 * (written_ + 1)));
        }
    }

    const RunPlan& plan_;
    std::int32_t lines_;
    TextSink& progress_;
    double total_ = 0;
    std::int32_t written_ = 0;
};

} // namespace

RemainderEngine::RemainderEngine(unsigned thread_count) : thread_count_(std::max(1U, thread_count)) {}

MemoryNeed RemainderEngine::memory_needed(std::int32_t limb_count) const
{
    // Measured as the peak address space of bench/engine_check --threads T
    // (T = 1, 2, 4, 8; MALLOC_ARENA_MAX=1, as under a limit) from 100,000 to
    // 1,599,999 places, less the program's own: about 15 bytes a place
    // whatever the threads, and for each thread its stack and about 5 bytes
    // a place of working numbers. With room to spare:
    const auto places = static_cast<std::size_t>(reported_places_for(limb_count));
    constexpr std::size_t shared_bytes_per_place = 20;
    constexpr std::size_t thread_bytes_per_place = 6;
    return MemoryNeed{(std::size_t{1} << 20) + shared_bytes_per_place * places,
                      thread_stack_bytes + (std::size_t{64} << 10) + thread_bytes_per_place * places};
}

namespace {

// Everything before the trees and the digits of pi: the sizes of the series,
// where each runs out, and their tails.
void prepare(RunPlan& plan, std::array<long double, 3>& tails)
{
    const auto d = static_cast<unsigned long>(plan.places);
    mpz_ui_pow_ui(plan.odd_part_of_y8.get_mpz_t(), 5, d);
    mpz_mul_2exp(plan.ten_to_places.get_mpz_t(), plan.odd_part_of_y8.get_mpz_t(), d);
    for (std::size_t i = 0; i < 3; ++i) {
        plan.y[i] = plan.ten_to_places * series_of_pi[i].scale;
    }
    plan.odd_part_of_y8 *= 3;

    // K: the first term that comes out zero.
    const auto term_is_zero = [&](std::int64_t k) {
        const std::uint64_t n = odd_divisor(k);
        // Y_8 / 8^n = 3 5^D 2^(D + 3 - 3n): a shift.
        mpz_class sum;
        if (3 * n <= d + 3) {
            mpz_mul_2exp(sum.get_mpz_t(), plan.odd_part_of_y8.get_mpz_t(), d + 3 - 3 * n);
        } else {
            mpz_tdiv_q_2exp(sum.get_mpz_t(), plan.odd_part_of_y8.get_mpz_t(), 3 * n - d - 3);
        }
        for (std::size_t i = 1; i < 3; ++i) {
            sum += floor_power_quotient(plan.y[i], series_of_pi[i].base, n);
        }
        return sum < n;
    };
    plan.zero_term = first_k_where(term_is_zero, estimate_powers_run_out(log2_of(plan.y[0]), 8));
    for (std::size_t i = 0; i < 3; ++i) {
        const unsigned long m = series_of_pi[i].base;
        const std::int64_t run_out =
            first_k_where([&](std::int64_t k) { return power_exceeds(plan.y[i], m, odd_divisor(k)); },
                          estimate_powers_run_out(log2_of(plan.y[i]), m));
        plan.counts[i] = std::min(run_out, plan.zero_term);
        plan.residues[i].assign(static_cast<std::size_t>(plan.counts[i]), 0);
        tails[i] = scaled_tail(series_of_pi[i].scale, plan.places, m, plan.counts[i]);
    }
    plan.whole_quotients = whole_quotients_of_eight(plan.places, plan.counts[0]);
    // Two units a tree leaf: one while its tree is built, one when answered.
    plan.units[0] = 2 * static_cast<double>(plan.counts[0] - plan.whole_quotients);
    plan.units[1] = 2 * static_cast<double>(plan.counts[1]);
    plan.units[2] = 2 * static_cast<double>(plan.counts[2]);
    plan.units[pi_work] = static_cast<double>(plan.places);
    plan.units[whole_work] = static_cast<double>(plan.whole_quotients / whole_quotients_a_unit);
    // What a unit takes, in microseconds of one core: measured at the largest
    // size, and scaled as measured from 100,000 places up (a tree's leaf costs
    // more in a bigger tree, as does a digit of pi, but not alike).
    const double size = static_cast<double>(plan.places) / 1.6e6;
    const double tree_scale = std::cbrt(size);
    const double pi_scale = std::pow(size, 0.23);
    plan.unit_cost = {0.68 * tree_scale, 1.11 * tree_scale, 1.23 * tree_scale, 0.80 * pi_scale, 6.7};
    mpfr_free_cache2(MPFR_FREE_LOCAL_CACHE);
}

// R from the digits of pi, the tails, F and G; false when the sum lands too
// far from a whole number to be trusted.
bool finish(RunPlan& plan, const std::array<long double, 3>& tails, LimbSpan result)
{
    // G: the residues of the three powers together, each term's own share
    // (in double: its rounding stays far below the quarter).
    double whole_residues = 0;
    for (std::int64_t k = 0; k < plan.zero_term; ++k) {
        const std::uint64_t n = odd_divisor(k);
        std::uint64_t sum_residue = 0;
        for (const std::vector<std::uint32_t>& base : plan.residues) {
            if (static_cast<std::size_t>(k) < base.size()) {
                sum_residue += base[static_cast<std::size_t>(k)];
            }
        }
        while (sum_residue >= n) {
            sum_residue -= n;
        }
        const double share = static_cast<double>(sum_residue) / static_cast<double>(n);
        whole_residues += k % 2 == 0 ? share : -share;
    }
    long double fractions = 0; // F
    for (const std::optional<long double>& part : plan.fractions) {
        if (!part) {
            return false;
        }
        fractions += *part;
    }
    const long double correction = tails[0] + tails[1] + tails[2] + fractions + whole_residues;

    // B pi = P + phi, with P the first D + 1 digits and phi the guard digits.
    std::string& digits = plan.pi_digits;
    const auto d = static_cast<std::size_t>(plan.places);
    assert(digits.size() == d + 1 + pi_guard_digits);
    const long double phi = std::stold("0." + digits.substr(d + 1));
    digits.resize(d + 1);
    const long double offset = phi - correction;
    const long double nearest = std::round(offset);
    if (std::fabs(offset - nearest) >= trust_margin) {
        return false;
    }
    add_to_decimal(digits, static_cast<long long>(nearest));
    write_limbs(digits, result);
    return true;
}

} // namespace

SumOutcome RemainderEngine::sum_into(LimbSpan result, TextSink& progress, unsigned threads)
{
    // All big-number work runs on stacks of the engine's own (its threads',
    // or this thread's where no thread can be had), whatever the process's
    // stack limit; this thread writes progress.
    auto owned_plan = std::make_unique<RunPlan>();
    RunPlan& plan = *owned_plan;
    plan.places = reported_places_for(static_cast<std::int32_t>(result.size()));
    const auto given_back = [&](SumFailure failure, std::int32_t terms_used) {
        owned_plan.reset();
        give_back_free_memory();
        return SumOutcome{terms_used, failure};
    };
    std::array<long double, 3> tails{};
    if (!run_with_stack([&] { prepare(plan, tails); }, thread_stack_bytes)) {
        return given_back(SumFailure::no_memory, 0);
    }
    const auto terms_used = static_cast<std::int32_t>(plan.zero_term + 1);

    ProgressPacer pacer(plan, terms_used, progress);
    if (!run_tasks(plan_tasks(plan), std::clamp(threads, 1U, thread_count_), thread_stack_bytes,
                   [&] { pacer.catch_up(); })) {
        return given_back(SumFailure::no_memory, 0);
    }
    pacer.finish();

    bool trusted = false;
    if (!run_with_stack([&] { trusted = finish(plan, tails, result); }, thread_stack_bytes)) {
        return given_back(SumFailure::no_memory, 0);
    }
    return given_back(trusted ? SumFailure::none : SumFailure::untrusted, terms_used);
}
