#pragma once

// The correction that the remainder engine takes off pi's digits, phi -
// sum_m tail_m - F - G (remainder_engine.cpp derives it), and the one error
// budget that decides whether the whole number it rounds to can be trusted.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/stormer_series.h"

// The parts' residues of each term k = first..first+count-1, added up: A_k
// mod n_k is their sum mod n_k.
class TermResidues {
public:
    TermResidues(std::int64_t first, std::int64_t count) : first_(first), sums_(static_cast<std::size_t>(count), 0) {}
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
    void add_residues(const TermResidues& residues);
};

// phi - tails - F - G from its sums, and the bound of its error.
struct Correction {
    long double value = 0;
    long double error_bound = 0;
};

// The correction of a run: phi from pi's guard digits, the parts' tails, and
// the partial sums of F and G of every term range.
Correction correction_of(long double phi, std::span<const PartOfRun> parts, std::span<const RangeSums> ranges);

// The budget times this is still below 1/2 wherever a whole number is
// decided: beyond the budget, only a fault can have moved the correction.
constexpr long double budget_safety_factor = 1024;

// The whole number the correction rounds to, or empty where it lands further
// from one than its error budget allows (with budget_safety_factor), which
// only a fault can make it do, or where that budget is too wide to decide
// (the safety factor's times it reach 1/2).
std::optional<long long> whole_offset(const Correction& correction);
