#pragma once

// The correction that the fast engine takes off pi's digits, the one error
// budget that decides whether it can be trusted, and the result it gives.
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

#include "engine/stormer_series.h"

// The residues of the parts summed for each term k = first..first+count-1:
// A_k mod n_k is their sum mod n_k.
class ResidueSums {
public:
    ResidueSums(std::int64_t first, std::int64_t count) : first_(first), sums_(static_cast<std::size_t>(count), 0) {}
    void add(std::int64_t k, std::uint64_t residue)
    {
        sums_[static_cast<std::size_t>(k - first_)] += static_cast<std::uint32_t>(residue);
    }
    std::int64_t first() const { return first_; }
    std::span<const std::uint32_t> sums() const { return sums_; }

private:
    // A residue is below its divisor: the parts' residues of a term add up
    // to less than 2^32 (half the memory of 64-bit sums, for a million terms).
    static_assert(stormer_series.size() * tree_divisor_limit <= std::uint64_t{1} << 32);
    std::int64_t first_;
    std::vector<std::uint32_t> sums_;
};

// A sum of small signed addends in double, and what its rounding can have
// cost: each addition rounds by at most half a unit in the last place of the
// partial sum, which never exceeded `largest` in size.
struct RoundedSum {
    double sum = 0;
    double largest = 0;
    std::uint64_t additions = 0;

    void add(double addend);
    // At most this far from the exact sum of the addends.
    double error_bound() const;
};

// A term range's partial sums of F and G.
struct RangeSums {
    RoundedSum fractions; // each fraction as the tree gives it, to tree_fraction_error
    RoundedSum residues;  // each (A_k mod n_k) / n_k exact but for its rounding

    // G's addends from the residues of the range's terms.
    void add_residues(const ResidueSums& residues);
};

// phi - tails - F - G from its parts, and the bound of its error.
struct Correction {
    long double value = 0;
    long double error_bound = 0;
};

// The correction of a run: phi from pi's guard digits, the parts' tails, and
// the partial sums of F and G of every term range.
Correction correction_of(long double phi, std::span<const PartOfRun> parts, std::span<const RangeSums> ranges);

// The whole number the correction rounds to, or empty where it lands further
// from one than its error budget allows (with a safety factor): then the
// parts disagree, which only a fault can make them do.
std::optional<long long> whole_offset(const Correction& correction);
