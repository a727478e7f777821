#pragma once

// The series both engines sum, as data, and what a run of D decimal places
// makes of it. The term-by-term engine follows the arithmetic literally; the
// remainder engine (remainder_engine.cpp, where the identity it rests on is
// derived) works from the same table.
//
// Words, each used for one thing only, here and in every file of the engine:
//   run         one computation of D decimal places (SeriesRun, RunWork)
//   part        one w arctan(1/m) of the formula (SeriesPart, PartOfRun)
//   term k      the k-th combined term; its divisor n_k = 2k+1
//   power       floor(Y_m / m^n_k), what the term-by-term engine's "power"
//               numbers hold for part m at term k; m^n and b^e themselves are
//               written so, and made by raise() (big_numbers.h)
//   residue     a power modulo n_k; fraction: frac(Y_m / m^n_k)
//   F, G        the fraction sum and the residue sum, the two sums of the
//               correction (correction.h); RangeSums: their partial sums
//               over a term range; TermResidues: the parts' residues of each
//               term of a range, added up
//   term range  consecutive terms first..end-1, the unit of work (TermRange)
//   part work   what a part does for a term range: a tree, whole quotients,
//               or nothing (PartWork)
//   tree        a scaled remainder tree; its node: consecutive leaves; its
//               leaf: one term of one part; a node's multiple M_v: the least
//               common multiple of its leaves' divisors
//   remainder engine, term-by-term engine: the two ways to fill a result
//
// The derivation's symbols and their names here:
//   B = 10^D           SeriesRun::ten_to_places  the fixed-point scale of a run
//   m, w               SeriesPart::base, weight  a part w arctan(1/m) of pi
//   Y_m = w B          the part's dividend (for m = 2^a, see part_of_run)
//   n_k = 2k+1         odd_divisor(k)
//   K                  SeriesRun::zero_term      the first k >= 1 whose term is 0
//   K_m                PartOfRun::terms          where the powers of m run out (<= K)
//   tail_m             PartOfRun::tail           Y_m times arctan's terms from K_m on

#include <array>
#include <cstdint>
#include <gmpxx.h>
#include <span>
#include <vector>

#include "engine/limb_number.h"
#include "engine/scaled_remainder_tree.h"

// One part of the series: w arctan(1/m) = w sum over k of (-1)^k / (n_k m^n_k).
struct SeriesPart {
    unsigned long base;   // m
    unsigned long weight; // w
};

// pi = 24 arctan(1/8) + 8 arctan(1/57) + 4 arctan(1/239) (Stormer).
//
// What both engines assume of the table (checked below):
// - every weight is positive, so each power is a whole number >= 0, and
//   term k is floor(A_k / n_k) with A_k the sum of the parts' powers;
// - the first part's power is the largest at every k (its base is the
//   smallest and w/m the largest): the term-by-term sum, which starts at the
//   first power's leading index, adds the whole of every power, and the
//   series ends once the first power runs out;
// - dividing a power by m^2 in place gives the next one (nested floors of
//   exact divisions collapse), which holds for any whole base.
inline constexpr std::array<SeriesPart, 3> stormer_series{{{8, 24}, {57, 8}, {239, 4}}};

constexpr bool first_part_is_largest(std::span<const SeriesPart> series)
{
    for (const SeriesPart part : series) {
        if (part.weight == 0 || part.base < series[0].base ||
            part.weight * series[0].base > series[0].weight * part.base) {
            return false;
        }
    }
    return true;
}
static_assert(first_part_is_largest(stormer_series));

constexpr std::uint64_t odd_divisor(std::int64_t k) { return static_cast<std::uint64_t>(2 * k + 1); }

// (-1)^k x: the series adds its even terms and takes off its odd ones.
template <typename Number> constexpr Number with_sign_of_term(std::int64_t k, Number x) { return k % 2 == 0 ? x : -x; }

// r / q at most log10(m): the best over the q for which m^q fits 127 bits.
struct Log10FromBelow {
    std::uint64_t r = 0;
    std::uint64_t q = 1;
};
constexpr Log10FromBelow log10_from_below(unsigned long m)
{
    constexpr unsigned __int128 most = ~static_cast<unsigned __int128>(0) >> 1;
    Log10FromBelow best;
    unsigned __int128 raised = 1; // m^q
    for (std::uint64_t q = 1; raised <= most / m; ++q) {
        raised *= m;
        std::uint64_t r = 0; // the largest with 10^r <= m^q
        for (unsigned __int128 ten = 10; ten <= raised; ten *= 10) {
            ++r;
            if (ten > most / 10) {
                break;
            }
        }
        if (r * best.q > best.r * q) {
            best = Log10FromBelow{r, q};
        }
    }
    return best;
}

constexpr std::uint64_t decimal_digits_of(std::uint64_t x) { return x < 10 ? 1 : 1 + decimal_digits_of(x / 10); }

// n_K, the largest divisor a run of D places meets, is at most this: the
// series ends by the first k with m^n_k > w B for its first part (m, w), and
// n log10 m > D + log10 w holds for n > (D + digits of w) q / r.
constexpr std::uint64_t largest_divisor_bound(std::int32_t places)
{
    constexpr SeriesPart first = stormer_series[0];
    constexpr Log10FromBelow log10_base = log10_from_below(first.base);
    static_assert(log10_base.r > 0, "the first part's base must be at least 10^(1/q) for some q");
    return (static_cast<std::uint64_t>(places) + decimal_digits_of(first.weight)) * log10_base.q / log10_base.r + 3;
}

// The largest run either engine sums, and so the largest the dialogue asks
// for. The remainder engine hands a run it cannot trust to the term-by-term
// engine, so both must take every size up to it: the trees' divisors (a
// residue a limb) and the term-by-term engine's limb divisions (the odd
// divisors, and m^2 and w of every part) must hold its n_K.
inline constexpr RunSize largest_run = run_size_for(1'600'000);
static_assert(largest_divisor_bound(largest_run.places) < tree_divisor_limit);
static_assert(largest_divisor_bound(largest_run.places) <= static_cast<std::uint64_t>(largest_divisor));
constexpr bool fits_a_limb_division(std::span<const SeriesPart> series)
{
    for (const SeriesPart part : series) {
        if (part.base * part.base > static_cast<unsigned long>(largest_divisor) ||
            part.weight > static_cast<unsigned long>(largest_divisor)) {
            return false;
        }
    }
    return true;
}
static_assert(fits_a_limb_division(stormer_series));

// A part of the series as one run sees it: its powers are the quotients a
// scaled remainder tree is asked for, floor(y / b^e_k), e_k by its exponent rule.
// For an odd base m that is Y_m / m^n_k itself (y = Y_m); for a base 2^a,
// Y_m = odd_weight 5^D 2^(D + v) with w = odd_weight 2^v, the tree's y is
// odd_weight 5^D, its base 2, and e_k = a n_k - (D + v): a power is a shift.
struct PartOfRun {
    SeriesPart part;
    ExponentRule exponents;
    // y = dividend_factor floor(B / 2^dividend_shift): w B, or odd_weight 5^D
    // (dividend_shift D: 5^D = B / 2^D). Made where it is needed, from B.
    unsigned long dividend_factor = 0;
    unsigned long dividend_shift = 0;
    // Terms k below this have a whole quotient (e_k <= 0): their residues are
    // a matter of modular powers, and their fractions are 0.
    std::int64_t whole_terms = 0;
    std::int64_t terms = 0; // K_m
    long double tail = 0;   // tail_m

    bool tree_base_is_two() const { return exponents.base == 2; }
    PowerQuotients quotients(const mpz_class& ten_to_places) const;
};

struct SeriesRun {
    std::int32_t places = 0;
    mpz_class ten_to_places;    // B
    std::int64_t zero_term = 0; // K; the terms used are K + 1
    std::vector<PartOfRun> parts;
};

// The terms first..end-1.
struct TermRange {
    std::int64_t first;
    std::int64_t end;

    std::int64_t terms() const { return end - first; }
};

// What a part does for the terms of a range.
enum class PartWork { none, whole_quotients, tree };

// A tail leaves out the terms below this, and is good to it: the error budget
// (correction.cpp) counts on it.
constexpr double tail_cutoff = 1e-30;

// Sizes, dividends and tails of every part for a run of `places` places.
SeriesRun prepare_series(std::span<const SeriesPart> series, std::int32_t places);

// The terms 0..K-1 of a run in ranges on one grid for all parts, and each
// part's work in a range of it (the same throughout the range).
std::vector<TermRange> term_ranges(const SeriesRun& series);
PartWork work_of(const PartOfRun& part, TermRange range);

// The residues of the terms first, first + 1, ... (below whole_terms, one for
// each place of `residues`) of a part whose base is 2^a: its power
// is the whole number y 2^-e_k, so the residue is a matter of modular powers
// (and the fraction is 0).
void whole_quotient_residues(const PartOfRun& part, std::int64_t first, std::span<std::uint64_t> residues);
