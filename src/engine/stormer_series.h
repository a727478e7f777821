#pragma once

// The series both engines sum, as data, and what a run of D decimal places
// makes of it. The term-by-term engine follows the arithmetic literally; the
// fast engine (remainder_engine.cpp) works from this table.
//
// The derivation's symbols and their names here:
//   B = 10^D           ten_to_places        the fixed-point scale of a run
//   m, w               SeriesPart           a part w arctan(1/m) of pi
//   Y_m = w B          PartOfRun::dividend  (for m a power of two, its odd part)
//   n_k = 2k+1         odd_divisor(k)
//   K                  SeriesRun::zero_term the first k >= 1 whose term is 0
//   K_m                PartOfRun::terms     where the powers of m run out (<= K)
//   tail_m             PartOfRun::tail      Y_m times arctan's terms from K_m on

#include <array>
#include <cstdint>
#include <gmpxx.h>
#include <span>
#include <vector>

// One part of the series: w arctan(1/m) = w sum over k of (-1)^k / (n_k m^n_k).
struct SeriesPart {
    unsigned long base;   // m
    unsigned long weight; // w
};

// pi = 24 arctan(1/8) + 8 arctan(1/57) + 4 arctan(1/239) (Stormer).
//
// What the fast engine's identity assumes of the table, and this one meets:
// - every weight is positive, so each power floor(Y_m / m^n_k) is a whole
//   number >= 0, and term k is floor(A_k / n_k) with A_k their sum;
// - the first part has the smallest base, so its power is the largest at
//   every k: the term-by-term sum, which starts at its leading index, adds
//   the whole of every power;
// - dividing a power by m^2 in place gives floor(Y_m / m^(n_k + 2)) (nested
//   floors of exact divisions collapse), which holds for any whole base.
inline constexpr std::array<SeriesPart, 3> stormer_series{{{8, 24}, {57, 8}, {239, 4}}};

inline std::uint64_t odd_divisor(std::int64_t k) { return static_cast<std::uint64_t>(2 * k + 1); }

// A part of the series as one run sees it. Its powers are
// floor(dividend / tree_base^e_k) with e_k = exponent_scale n_k - exponent_offset:
// for an odd base, dividend Y_m and base m (e_k = n_k); for a base 2^a, the
// odd part of Y_m and base 2, so that a power is a shift.
struct PartOfRun {
    SeriesPart part;
    mpz_class dividend;
    unsigned long tree_base = 0;
    unsigned long exponent_scale = 1;
    unsigned long exponent_offset = 0;
    // Terms k below this have a whole quotient (e_k <= 0): their residues are
    // a matter of modular powers, and their fractions are 0.
    std::int64_t whole_terms = 0;
    std::int64_t terms = 0; // K_m
    long double tail = 0;   // tail_m

    bool base_is_power_of_two() const { return tree_base == 2; }
};

struct SeriesRun {
    std::int32_t places = 0;
    mpz_class ten_to_places;    // B
    std::int64_t zero_term = 0; // K; the terms used are K + 1
    std::vector<PartOfRun> parts;
};

// Sizes, dividends and tails of every part for a run of `places` places.
SeriesRun prepare_series(std::span<const SeriesPart> series, std::int32_t places);
