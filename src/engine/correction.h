#pragma once

// The correction that the fast engine takes off pi's digits, and the one
// error budget that decides whether it can be trusted.
//
// With B = 10^D and B pi = P + phi, the result is
//   R = P + round(phi - sum_m tail_m - F - G),
// where F sums (-1)^k frac(Y_m / m^n_k) / n_k over the parts and terms, and G
// sums (-1)^k (A_k mod n_k) / n_k with A_k the sum of the k-th powers (see
// remainder_engine.cpp). R is a whole number, so the sum inside the rounding
// lands on one, to within the errors of its parts.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// The residues floor(Y_m / m^n_k) mod n_k summed over the parts, for the
// terms k = first..first+count-1.
class ResidueSums {
public:
    ResidueSums(std::int64_t first, std::int64_t count) : first_(first), sums_(static_cast<std::size_t>(count), 0) {}
    void add(std::int64_t k, std::uint64_t residue) { sums_[static_cast<std::size_t>(k - first_)] += residue; }
    std::int64_t first() const { return first_; }
    std::span<const std::uint64_t> sums() const { return sums_; }

private:
    std::int64_t first_;
    std::vector<std::uint64_t> sums_;
};

// A sum of small signed shares in double, and what its rounding can have
// cost: each addition rounds by at most half a unit in the last place of the
// partial sum, which never exceeded `largest` in size.
struct RoundedSum {
    double sum = 0;
    double largest = 0;
    std::uint64_t additions = 0;

    void add(double share);
    // At most this far from the exact sum of the shares.
    double error_bound() const;
};

// What the correction is made of, each with the bound of its error.
struct CorrectionParts {
    long double phi = 0;   // from pi's guard digits
    long double tails = 0; // sum of the tails, each to 1e-30 and rounded to long double
    std::size_t tail_count = 0;
    long double fractions = 0; // F, from the parts the trees summed
    long double fractions_error = 0;
    long double residues = 0; // G, from the parts of its terms summed apart
    long double residues_error = 0;

    // A part of F: fractions good to 2^-60 each, then rounded and summed.
    void add_fractions(const RoundedSum& part);
    // A part of G: each share exact but for its rounding, then summed.
    void add_residues(const RoundedSum& part);
};

// The part of G of the terms whose residues these are.
RoundedSum sum_residue_shares(const ResidueSums& residues);

// The whole number round(phi - tails - F - G), or empty where the sum lands
// further from one than its error budget allows (with a safety factor): then
// the parts disagree, which only a fault can make them do.
std::optional<long long> whole_offset(const CorrectionParts& parts);
