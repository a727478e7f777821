#include "engine/correction.h"

#include <cmath>

#include "engine/stormer_series.h"

namespace {

// The budget, term by term (u = 2^-53, a double's unit roundoff; long
// doubles have 2^-64):
// - phi: pi's guard digits are off by at most one in the last (1e-24), and
//   their value in long double by 2^-64 (it is below 1);
// - each tail: its terms below 1e-30 are left out, and it is rounded to long
//   double (it is below 1, since its first term's power is already 0);
// - F: each fraction comes from the tree to 2^-60, its share f / n_k is
//   rounded once, and each addition rounds (RoundedSum::error_bound);
// - G: each share (A_k mod n_k) / n_k is exact but for its rounding, and so
//   is each addition (RoundedSum::error_bound);
// - the parts of F and G, and then the four, are added in long double: a
//   2^-60 each, more than enough.
// A distance from the nearest whole number beyond the budget times
// `safety_factor` cannot come from rounding: the budget is a bound, so the
// factor only keeps the decision clear of it. At 1,599,999 places the budget
// is about 9e-9 and the distance seen about 3e-12.
constexpr long double phi_error = 1e-24L + 0x1p-64L;
constexpr long double tail_error = 1e-30L + 0x1p-64L;
constexpr long double tree_fraction_error = 0x1p-60L;
constexpr long double sum_error = 0x1p-60L;
constexpr long double safety_factor = 1024;

} // namespace

void RoundedSum::add(double share)
{
    sum += share;
    largest = std::max(largest, std::fabs(sum));
    ++additions;
}

double RoundedSum::error_bound() const
{
    // Half an ulp of the largest partial sum a step, and the share's own rounding.
    return static_cast<double>(additions) * 0x1p-53 * (largest + 1);
}

RoundedSum sum_residue_shares(const ResidueSums& residues)
{
    RoundedSum shares;
    std::int64_t k = residues.first();
    for (const std::uint64_t sum : residues.sums()) {
        const std::uint64_t n = odd_divisor(k);
        std::uint64_t residue = sum;
        while (residue >= n) {
            residue -= n;
        }
        const double share = static_cast<double>(residue) / static_cast<double>(n);
        shares.add(k % 2 == 0 ? share : -share);
        ++k;
    }
    return shares;
}

void CorrectionParts::add_fractions(const RoundedSum& part)
{
    fractions += part.sum;
    fractions_error += part.error_bound() + tree_fraction_error * static_cast<long double>(part.additions) + sum_error;
}

void CorrectionParts::add_residues(const RoundedSum& part)
{
    residues += part.sum;
    residues_error += part.error_bound() + sum_error;
}

std::optional<long long> whole_offset(const CorrectionParts& parts)
{
    const long double budget = phi_error + tail_error * static_cast<long double>(parts.tail_count) +
                               parts.fractions_error + parts.residues_error + 4 * sum_error;
    const long double offset = parts.phi - parts.tails - parts.fractions - parts.residues;
    const long double nearest = std::round(offset);
    if (std::fabs(offset - nearest) > safety_factor * budget) {
        return std::nullopt;
    }
    return static_cast<long long>(nearest);
}
