#include "engine/stormer_series.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cmath>
#include <functional>

#include "engine/big_numbers.h"

namespace {

// The tails are sums of size about 1 whose terms fall by m^2 a step; 160 bits
// leave their rounding far below tail_cutoff (terms of a tail smaller than
// that change the alternating, falling sum by less than themselves).
constexpr mpfr_prec_t tail_precision = 160;
static_assert(tail_cutoff > 0x1p-100);
// log2 of numbers of a few million bits is good to about 1e-9 in double: a
// closer call is settled exactly.
constexpr double log2_close_call = 1e-6;

double log2_of(const mpz_class& y)
{
    long exponent = 0;
    const double mantissa = mpz_get_d_2exp(&exponent, y.get_mpz_t());
    return static_cast<double>(exponent) + std::log2(mantissa);
}

// Whether m^n > y, from logarithms where they settle it.
bool raised_exceeds(const mpz_class& y, unsigned long m, unsigned long n)
{
    const double log2_raised = static_cast<double>(n) * std::log2(static_cast<double>(m));
    if (std::fabs(log2_raised - log2_of(y)) > log2_close_call) {
        return log2_raised > log2_of(y);
    }
    mpz_class quotient;
    divide_by_raised(quotient, y, m, static_cast<long>(n));
    return quotient == 0;
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
std::int64_t estimate_powers_run_out(const mpz_class& y, unsigned long m)
{
    return static_cast<std::int64_t>((log2_of(y) / std::log2(static_cast<double>(m)) - 1) / 2);
}

// y * sum over k >= first of (-1)^k / (n_k m^n_k).
long double scaled_tail(const mpz_class& y, unsigned long m, std::int64_t first)
{
    MpfrNumber term(tail_precision), raised(tail_precision), sum(tail_precision), addend(tail_precision);
    mpfr_set_z(term.value, y.get_mpz_t(), MPFR_RNDN);
    mpfr_ui_pow_ui(raised.value, m, odd_divisor(first), MPFR_RNDN);
    mpfr_div(term.value, term.value, raised.value, MPFR_RNDN); // y / m^n_first
    mpfr_set_zero(sum.value, 1);
    for (std::int64_t k = first; mpfr_cmp_d(term.value, tail_cutoff) > 0; ++k) {
        mpfr_div_si(addend.value, term.value, with_sign_of_term(k, static_cast<long>(odd_divisor(k))), MPFR_RNDN);
        mpfr_add(sum.value, sum.value, addend.value, MPFR_RNDN);
        mpfr_div_ui(term.value, term.value, m * m, MPFR_RNDN);
    }
    return mpfr_get_ld(sum.value, MPFR_RNDN);
}

// What a part's tree is asked (PartOfRun has the base 2^a's y and e_k).
PartOfRun part_of_run(SeriesPart series_part, std::int32_t places)
{
    PartOfRun part;
    part.part = series_part;
    if (!std::has_single_bit(series_part.base)) {
        part.exponents = ExponentRule{series_part.base};
        part.dividend_factor = series_part.weight;
        return part;
    }
    const auto v = static_cast<unsigned long>(std::countr_zero(series_part.weight));
    const auto a = static_cast<unsigned long>(std::countr_zero(series_part.base));
    const auto d = static_cast<unsigned long>(places);
    part.dividend_factor = series_part.weight >> v;
    part.dividend_shift = d;
    part.exponents = ExponentRule{2, a, d + v};
    // e_k <= 0 while a n_k <= D + v.
    const unsigned long largest_whole_n = (d + v) / a;
    part.whole_terms = largest_whole_n >= 1 ? static_cast<std::int64_t>((largest_whole_n - 1) / 2 + 1) : 0;
    return part;
}

// floor(Y_m / m^n_k) for one part whose tree's dividend is y.
mpz_class power_of(const PartOfRun& part, const mpz_class& y, std::int64_t k)
{
    mpz_class power;
    divide_by_raised(power, y, part.exponents.base, part.exponents.exponent(odd_divisor(k)));
    return power;
}

} // namespace

PowerQuotients PartOfRun::quotients(const mpz_class& ten_to_places) const
{
    return PowerQuotients{ten_to_places, dividend_factor, dividend_shift, exponents};
}

SeriesRun prepare_series(std::span<const SeriesPart> series, std::int32_t places)
{
    SeriesRun run;
    run.places = places;
    // B = 5^D 2^D, 5^D by squares through the library's products.
    raise(run.ten_to_places, 5, static_cast<unsigned long>(places));
    mpz_mul_2exp(run.ten_to_places.get_mpz_t(), run.ten_to_places.get_mpz_t(), static_cast<mp_bitcnt_t>(places));
    for (const SeriesPart& part : series) {
        run.parts.push_back(part_of_run(part, places));
    }
    std::vector<mpz_class> dividends(run.parts.size());
    for (std::size_t i = 0; i < run.parts.size(); ++i) {
        run.parts[i].quotients(run.ten_to_places).dividend_shifted(dividends[i], 0);
    }

    // K: the first term that comes out zero, where the sum of the powers falls
    // below n_k.
    const auto term_is_zero = [&](std::int64_t k) {
        mpz_class sum;
        for (std::size_t i = 0; i < run.parts.size(); ++i) {
            sum += power_of(run.parts[i], dividends[i], k);
        }
        return sum < odd_divisor(k);
    };
    const mpz_class first_y = run.ten_to_places * series[0].weight;
    run.zero_term = first_k_where(term_is_zero, estimate_powers_run_out(first_y, series[0].base));

    for (PartOfRun& part : run.parts) {
        const mpz_class y = run.ten_to_places * part.part.weight; // Y_m, also for a base 2^a
        const unsigned long m = part.part.base;
        const std::int64_t run_out = first_k_where([&](std::int64_t k) { return raised_exceeds(y, m, odd_divisor(k)); },
                                                   estimate_powers_run_out(y, m));
        part.terms = std::min(run_out, run.zero_term);
        part.whole_terms = std::min(part.whole_terms, part.terms);
        part.tail = scaled_tail(y, m, part.terms);
    }
    mpfr_free_cache2(MPFR_FREE_LOCAL_CACHE);
    return run;
}

namespace {

// The terms are cut into about this many ranges: enough for the threads to
// end close together, few enough that the trees' root divisions (one
// for each range of each part) stay a small part of the work.
constexpr std::int64_t ranges_in_all = 10;

} // namespace

// The terms 0..K-1 in ranges on one grid for all parts: every point where a
// part's work changes (its whole quotients end, its powers run out) is a
// boundary, and what lies between two is cut into ranges of about K /
// ranges_in_all terms. Within a range, each part does the same kind of work
// throughout, and the parts that need a tree share its divisors.
std::vector<TermRange> term_ranges(const SeriesRun& series)
{
    std::vector<std::int64_t> boundaries{0, series.zero_term};
    for (const PartOfRun& part : series.parts) {
        boundaries.push_back(part.whole_terms);
        boundaries.push_back(part.terms);
    }
    // (Classic algorithms: clang 14 cannot build libstdc++ 12's ranges.)
    std::sort(boundaries.begin(), boundaries.end());
    boundaries.erase(std::unique(boundaries.begin(), boundaries.end()), boundaries.end());
    const double length = std::max(1.0, static_cast<double>(series.zero_term) / ranges_in_all);
    std::vector<TermRange> ranges;
    for (std::size_t i = 0; i + 1 < boundaries.size(); ++i) {
        const std::int64_t from = boundaries[i];
        const std::int64_t to = boundaries[i + 1];
        const auto pieces = std::max<std::int64_t>(1, std::llround(static_cast<double>(to - from) / length));
        for (std::int64_t piece = 0; piece < pieces; ++piece) {
            ranges.push_back({from + (to - from) * piece / pieces, from + (to - from) * (piece + 1) / pieces});
        }
    }
    return ranges;
}

PartWork work_of(const PartOfRun& part, TermRange range)
{
    if (range.end <= part.whole_terms) {
        return PartWork::whole_quotients;
    }
    return range.end <= part.terms ? PartWork::tree : PartWork::none;
}

namespace {

// x mod n for x < 2^42 and n < 2^21 by a product with floor((2^64 - 1) / n):
// the quotient it gives is short by at most one.
struct SmallModulus {
    std::uint64_t n;
    std::uint64_t reciprocal;

    explicit SmallModulus(std::uint64_t divisor) : n(divisor), reciprocal(~std::uint64_t{0} / divisor) {}
    std::uint64_t reduce(std::uint64_t x) const
    {
        const auto quotient = static_cast<std::uint64_t>((static_cast<unsigned __int128>(x) * reciprocal) >> 64);
        const std::uint64_t remainder = x - quotient * n;
        return remainder >= n ? remainder - n : remainder;
    }
};

// Terms worked side by side, so that their chains of products overlap.
constexpr std::size_t side_by_side = 8;

} // namespace

void whole_quotient_residues(const PartOfRun& part, std::int64_t first, std::span<std::uint64_t> residues)
{
    static_assert(tree_divisor_limit <= std::uint64_t{1} << 21, "residues of 21 bits: their products fit 42");
    const auto count = static_cast<std::int64_t>(residues.size());
    assert(part.tree_base_is_two() && first >= 0 && first + count <= part.whole_terms);
    assert(odd_divisor(first + count - 1) < tree_divisor_limit);
    // The dividend is odd_weight 5^D: its factor and D.
    const unsigned long odd_weight = part.dividend_factor;
    const unsigned long five_exponent = part.dividend_shift;
    assert(odd_weight < tree_divisor_limit);
    for (std::int64_t batch = 0; batch < count; batch += static_cast<std::int64_t>(side_by_side)) {
        const auto lanes = static_cast<std::size_t>(std::min<std::int64_t>(side_by_side, count - batch));
        std::array<SmallModulus, side_by_side> moduli{SmallModulus(1), SmallModulus(1), SmallModulus(1),
                                                      SmallModulus(1), SmallModulus(1), SmallModulus(1),
                                                      SmallModulus(1), SmallModulus(1)};
        std::array<unsigned long, side_by_side> two_exponents{}; // -e_k >= 0
        std::array<std::uint64_t, side_by_side> values{};
        unsigned long largest_exponent = five_exponent;
        for (std::size_t lane = 0; lane < lanes; ++lane) {
            const std::uint64_t n = odd_divisor(first + batch + static_cast<std::int64_t>(lane));
            moduli[lane] = SmallModulus(n);
            two_exponents[lane] = static_cast<unsigned long>(-part.exponents.exponent(n));
            largest_exponent = std::max(largest_exponent, two_exponents[lane]);
            values[lane] = 1 % n;
        }
        // 5^D 2^(-e_k) mod n_k, both raised along one chain of squares.
        for (int bit = std::bit_width(largest_exponent) - 1; bit >= 0; --bit) {
            const unsigned long five = five_exponent >> bit & 1;
            for (std::size_t lane = 0; lane < side_by_side; ++lane) {
                const unsigned long two = two_exponents[lane] >> bit & 1;
                const std::uint64_t factor = (five != 0 ? 5 : 1) << two;
                const std::uint64_t squared = moduli[lane].reduce(values[lane] * values[lane]);
                values[lane] = moduli[lane].reduce(squared * factor);
            }
        }
        for (std::size_t lane = 0; lane < lanes; ++lane) {
            residues[static_cast<std::size_t>(batch) + lane] = moduli[lane].reduce(values[lane] * odd_weight);
        }
    }
}
