#include "engine/correction.h"

#include <cassert>
#include <cmath>

#include "engine/pi_digits.h"
#include "engine/scaled_remainder_tree.h"

namespace {

constexpr long double ten_to_minus(int digits) { return digits == 0 ? 1.0L : ten_to_minus(digits - 1) / 10; }

// The budget, term by term, each from the constant that sets it (u = 2^-53,
// a double's unit roundoff; long doubles have 2^-64):
// - phi: pi's guard digits are off by at most one in the last, and their
//   value in long double by 2^-64 (it is below 1);
// - each tail: its terms below tail_cutoff are left out, and it is rounded
//   to long double (it is below 1, since its first term's power is already 0);
// - F: each fraction comes from a tree to tree_fraction_error, its addend
//   f / n_k is rounded once, and each addition rounds (RoundedSum::error_bound);
// - G: each addend (A_k mod n_k) / n_k is exact but for its rounding, and so
//   is each addition (RoundedSum::error_bound);
// - the partial sums, and then phi, the tails, F and G, are added in long
//   double: sum_error each, more than enough.
// A distance from the nearest whole number beyond the budget times
// `safety_factor` cannot come from rounding: the budget is a bound, so the
// factor only keeps the decision clear of it.
constexpr long double phi_error = ten_to_minus(pi_guard_digits) + 0x1p-64L;
constexpr long double tail_error = static_cast<long double>(tail_cutoff) + 0x1p-64L;
constexpr long double fraction_error = tree_fraction_error;
constexpr long double sum_error = 0x1p-60L;
constexpr long double safety_factor = 1024;

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
    return static_cast<double>(additions) * 0x1p-53 * (largest + 1);
}

void RangeSums::add_residues(const ResidueSums& residue_sums)
{
    std::int64_t k = residue_sums.first();
    for (const std::uint32_t sum : residue_sums.sums()) {
        const std::uint64_t n = odd_divisor(k);
        std::uint64_t residue = sum;
        while (residue >= n) {
            residue -= n;
        }
        const double addend = static_cast<double>(residue) / static_cast<double>(n);
        residues.add(k % 2 == 0 ? addend : -addend);
        ++k;
    }
}

Correction correction_of(long double phi, std::span<const PartOfRun> parts, std::span<const RangeSums> ranges)
{
    Correction correction{phi, phi_error};
    for (const PartOfRun& part : parts) {
        correction.value -= part.tail;
        correction.error_bound += tail_error;
    }
    for (const RangeSums& range : ranges) {
        correction.value -= static_cast<long double>(range.fractions.sum) + range.residues.sum;
        correction.error_bound += range.fractions.error_bound() +
                                  fraction_error * static_cast<long double>(range.fractions.additions) +
                                  range.residues.error_bound() + 2 * sum_error;
    }
    correction.error_bound += 4 * sum_error;
    return correction;
}

std::optional<long long> whole_offset(const Correction& correction)
{
    const long double nearest = std::round(correction.value);
    if (std::fabs(correction.value - nearest) > safety_factor * correction.error_bound) {
        return std::nullopt;
    }
    return static_cast<long long>(nearest);
}
