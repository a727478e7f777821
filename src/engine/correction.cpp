#include "engine/correction.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <limits>

#include "engine/pi_digits.h"
#include "engine/scaled_remainder_tree.h"

namespace {

constexpr long double ten_to_minus(int digits) { return digits == 0 ? 1.0L : ten_to_minus(digits - 1) / 10; }

// Rounding a value below 1 (phi, a tail) to long double, and one addition
// in long double, relative to the larger of its operands and the result:
// half a unit in the last place each.
constexpr long double long_double_rounding = std::numeric_limits<long double>::epsilon() / 2;

// The budget, term by term, each from the constant that sets it:
// - phi: pi's guard digits are off by at most one in the last, and their
//   value is rounded to long double;
// - each tail: its terms below tail_cutoff are left out, and it is rounded
//   to long double (it is below 1, since its first term's power is already 0);
// - F: each fraction comes from a tree to tree_fraction_error, its addend
//   f / n_k is rounded once, and each addition rounds (RoundedSum::error_bound);
// - G: each addend (A_k mod n_k) / n_k is exact but for its rounding, and so
//   is each addition (RoundedSum::error_bound);
// - the partial sums, and then phi, the tails, F and G, are added in long
//   double: each addition rounds by half an ulp of what it adds up to.
// A distance from the nearest whole number beyond the budget times
// budget_safety_factor cannot come from rounding: the budget is a bound, so
// the factor only keeps the decision clear of it.
constexpr long double phi_error = ten_to_minus(pi_guard_digits) + long_double_rounding;
constexpr long double tail_error = static_cast<long double>(tail_cutoff) + long_double_rounding;
constexpr long double fraction_error = tree_fraction_error;

// Adds to a long double sum, counting what the addition can round off.
void add_rounded(Correction& correction, long double addend)
{
    correction.value += addend;
    correction.error_bound += long_double_rounding * std::max({std::fabs(correction.value), std::fabs(addend), 1.0L});
}

} // namespace

void RoundedSum::add(double addend)
{
    sum += addend;
    largest = std::max(largest, std::fabs(sum));
    ++additions;
}

double RoundedSum::error_bound() const
{
    // Half an ulp of the largest partial sum a step, and the addend's own rounding.
    constexpr double rounding = std::numeric_limits<double>::epsilon() / 2;
    return static_cast<double>(additions) * rounding * (largest + 1);
}

void RangeSums::add_residues(const TermResidues& residue_sums)
{
    std::int64_t k = residue_sums.first();
    for (const std::uint32_t sum : residue_sums.sums()) {
        const std::uint64_t n = odd_divisor(k);
        std::uint64_t residue = sum;
        while (residue >= n) {
            residue -= n;
        }
        const double addend = static_cast<double>(residue) / static_cast<double>(n);
        residues.add(with_sign_of_term(k, addend));
        ++k;
    }
}

Correction correction_of(long double phi, std::span<const PartOfRun> parts, std::span<const RangeSums> ranges)
{
    Correction correction{phi, phi_error};
    for (const PartOfRun& part : parts) {
        add_rounded(correction, -part.tail);
        correction.error_bound += tail_error;
    }
    for (const RangeSums& range : ranges) {
        add_rounded(correction, -static_cast<long double>(range.fractions.sum));
        add_rounded(correction, -static_cast<long double>(range.residues.sum));
        correction.error_bound += range.fractions.error_bound() +
                                  fraction_error * static_cast<long double>(range.fractions.additions) +
                                  range.residues.error_bound();
    }
    return correction;
}

std::optional<long long> whole_offset(const Correction& correction)
{
    const long double allowed = budget_safety_factor * correction.error_bound;
    const long double nearest = std::round(correction.value);
    if (!(allowed < 0.5L) || std::fabs(correction.value - nearest) > allowed) {
        return std::nullopt;
    }
    return static_cast<long long>(nearest);
}
