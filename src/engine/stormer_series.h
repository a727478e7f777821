#pragma once

// The series both engines sum, as data, and what a run of D decimal places
// makes of it. The term-by-term engine follows the arithmetic literally; the
// fast engine (remainder_engine.cpp) works from the same table.
//
// Words, each used for one thing only, here and in every file of the engine:
//   run         one computation of D decimal places (SeriesRun, RunWork)
//   part        one w arctan(1/m) of the formula (SeriesPart, PartOfRun)
//   term k      the k-th combined term; its divisor n_k = 2k+1
//   power       floor(Y_m / m^n_k), what the term-by-term engine's "power"
//               numbers hold for part m at term k (power_of)
//   residue     a power modulo n_k; fraction: frac(Y_m / m^n_k)
//   F, G        the fraction sum and the residue sum of the correction
//               (correction.h); RangeSums: their partial sums over a range
//   term range  consecutive terms first..end-1, the unit of work (TermRange)
//   part work   what a part does for a term range: a tree, whole quotients,
//               or nothing (PartWork)
//   leaf        one term of one part in a scaled remainder tree
//
// The derivation's symbols and their names here:
//   B = 10^D           SeriesRun::ten_to_places  the fixed-point scale of a run
//   m, w               SeriesPart::base, weight  a part w arctan(1/m) of pi
//   Y_m = w B          (for m a power of two, the tree's dividend is its odd part)
//   n_k = 2k+1         odd_divisor(k)
//   K                  SeriesRun::zero_term      the first k >= 1 whose term is 0
//   K_m                PartOfRun::terms          where the powers of m run out (<= K)
//   tail_m             PartOfRun::tail           Y_m times arctan's terms from K_m on

#include <array>
#include <cstdint>
#include <gmpxx.h>
#include <span>
#include <vector>

#include "engine/scaled_remainder_tree.h"

// One part of the series: w arctan(1/m) = w sum over k of (-1)^k / (n_k m^n_k).
struct SeriesPart {
    unsigned long base;   // m
    unsigned long weight; // w
};

// pi = 24 arctan(1/8) + 8 arctan(1/57) + 4 arctan(1/239) (Stormer).
//
// What both engines assume of the table, and this one meets:
// - every weight is positive, so each power is a whole number >= 0, and
//   term k is floor(A_k / n_k) with A_k the sum of the parts' powers;
// - the first part has the smallest base, so its power is the largest at
//   every k: the term-by-term sum, which starts at the first power's leading
//   index, adds the whole of every power;
// - dividing a power by m^2 in place gives the next one (nested floors of
//   exact divisions collapse), which holds for any whole base.
inline constexpr std::array<SeriesPart, 3> stormer_series{{{8, 24}, {57, 8}, {239, 4}}};

inline std::uint64_t odd_divisor(std::int64_t k) { return static_cast<std::uint64_t>(2 * k + 1); }

// Terms fall by a factor 64 or more a step, so K is at most D / log10(64)
// and a little: n_K, the largest divisor a run of D places meets, is below
// this (the engines' largest sizes are checked against it).
constexpr std::uint64_t largest_divisor_bound(std::int32_t places)
{
    // 2 / log10(64) < 10 / 9; the first power 24/8 adds a term or two.
    return static_cast<std::uint64_t>(places) * 10 / 9 + 5;
}

// A part of the series as one run sees it: its powers are the quotients a
// scaled remainder tree is asked for, floor(y / b^e_k) with e_k =
// exponent_scale n_k - exponent_offset. For an odd base m that is Y_m / m^n_k
// itself (y = Y_m = w B); for a base 2^a, Y_m = odd_weight 5^D 2^(D + v) with
// w = odd_weight 2^v, y is odd_weight 5^D, the base 2, and the exponent a n_k
// - (D + v): a power is a shift.
struct PartOfRun {
    SeriesPart part;
    PowerRule powers;
    // y = dividend_factor floor(B / 2^dividend_shift): w B, or for a base
    // 2^a odd_weight 5^D (so dividend_shift is D and 5^D = B / 2^D). Made
    // where it is needed, from the one B of the run.
    unsigned long dividend_factor = 0;
    unsigned long dividend_shift = 0;
    // Terms k below this have a whole quotient (e_k <= 0): their residues are
    // a matter of modular powers, and their fractions are 0.
    std::int64_t whole_terms = 0;
    std::int64_t terms = 0; // K_m
    long double tail = 0;   // tail_m

    bool base_is_power_of_two() const { return powers.base == 2; }
    PowerQuotients quotients(const mpz_class& ten_to_places) const;
};

struct SeriesRun {
    std::int32_t places = 0;
    mpz_class ten_to_places;    // B
    std::int64_t zero_term = 0; // K; the terms used are K + 1
    std::vector<PartOfRun> parts;
};

// A tail leaves out the terms below this, and is good to it: the error budget
// (correction.cpp) counts on it.
constexpr double tail_cutoff = 1e-30;

// Sizes, dividends and tails of every part for a run of `places` places.
SeriesRun prepare_series(std::span<const SeriesPart> series, std::int32_t places);

// The residues of the terms first, first + 1, ... (below whole_terms, one for
// each place of `residues`) of a part whose base is a power of two: its power
// is the whole number odd_weight 5^D 2^-e_k, so the residue is a matter of
// modular powers (and the fraction is 0).
void whole_quotient_residues(const PartOfRun& part, std::int64_t first, std::span<std::uint64_t> residues);
