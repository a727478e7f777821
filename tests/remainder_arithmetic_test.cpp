// The remainder engine's pieces on their own: the scaled remainder tree
// against exact division, the grid of term ranges, the bound on the
// divisors, and the trust decision against its error budget.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <random>

#include "engine/correction.h"
#include "engine/odd_divisor_tree.h"
#include "engine/scaled_remainder_tree.h"
#include "engine/stormer_series.h"
#include "test_helpers.h"

namespace {

struct Answer {
    std::uint64_t residue;
    mpq_class fraction;
};

class CollectedAnswers : public LeafAnswers {
public:
    void answer(std::size_t leaf, std::uint64_t residue, long double fraction) override
    {
        // A long double's value exactly: its 64-bit mantissa over a power of two.
        int exponent = 0;
        const auto mantissa = static_cast<unsigned long>(std::ldexp(std::frexp(fraction, &exponent), 64));
        mpq_class exact{mpz_class(mantissa)};
        mpq_div_2exp(exact.get_mpq_t(), exact.get_mpq_t(), static_cast<mp_bitcnt_t>(64 - exponent));
        EXPECT_TRUE(answers.emplace(leaf, Answer{residue, exact}).second) << "leaf " << leaf << " answered twice";
    }
    std::map<std::size_t, Answer> answers;
};

// floor(y / b^e) mod n and frac(y / b^e), exactly.
Answer exact_answer(const mpz_class& y, unsigned long base, unsigned long e, std::uint64_t n)
{
    mpz_class power;
    mpz_ui_pow_ui(power.get_mpz_t(), base, e);
    mpz_class quotient;
    mpz_class remainder;
    mpz_fdiv_qr(quotient.get_mpz_t(), remainder.get_mpz_t(), y.get_mpz_t(), power.get_mpz_t());
    return Answer{mpz_fdiv_ui(quotient.get_mpz_t(), static_cast<unsigned long>(n)), mpq_class(remainder, power)};
}

// Asks a tree over the odd divisors first_odd, first_odd + 2, ... with
// exponents e_i = scale n_i - offset, and compares every leaf with exact
// division.
void expect_exact_answers(const mpz_class& y, unsigned long base, std::uint64_t first_odd, std::size_t count,
                          unsigned long scale, unsigned long offset)
{
    const DivisorTree divisors = odd_divisor_tree(first_odd, count);
    CollectedAnswers collected;
    answer_queries(PowerQuotients{y, 1, 0, {base, scale, offset}}, divisors, collected);
    ASSERT_EQ(collected.answers.size(), count);
    for (std::size_t i = 0; i < count; ++i) {
        const Answer exact = exact_answer(y, base, scale * divisors.divisor(i) - offset, divisors.divisor(i));
        const Answer& tree = collected.answers[i];
        ASSERT_EQ(tree.residue, exact.residue) << "base " << base << ", leaf " << i << " of " << count;
        ASSERT_LE(abs(tree.fraction - exact.fraction), tree_fraction_error) << "base " << base << ", leaf " << i;
    }
}

} // namespace

// STORMER_TEST_MULTIPLIER=n runs n times the trials, for a deeper look.
int trials_times(int trials)
{
    const char* multiplier = std::getenv("STORMER_TEST_MULTIPLIER");
    return trials * std::max(1, multiplier != nullptr ? std::atoi(multiplier) : 1);
}

TEST(ScaledRemainderTree, MatchesExactDivisionOverEdgeHeavyRandomTrees)
{
    std::mt19937_64 random(20261208);
    gmp_randstate_t bits;
    gmp_randinit_default(bits);
    gmp_randseed_ui(bits, 20261208);
    for (const unsigned long base : {2UL, 57UL, 239UL}) {
        for (int trial = 0; trial < trials_times(3); ++trial) {
            const std::size_t count = 1 + random() % 700;
            const std::uint64_t first_odd = 2 * (random() % 5000) + 1;
            // Base 2 as the engine uses it: exponents 3 n - offset, above 0.
            const unsigned long scale = base == 2 ? 3 : 1;
            const unsigned long offset = base == 2 ? 3 * first_odd - 1 : 0;
            const double top_exponent = static_cast<double>(scale * (first_odd + 2 * count) - offset);
            const auto y_bits = static_cast<unsigned long>(top_exponent * std::log2(static_cast<double>(base))) + 200;
            // Long runs of 0 and 1 bits make fractions near 0 and 1, which
            // take the doubtful leaf's path, as well as ordinary ones.
            mpz_class y;
            mpz_rrandomb(y.get_mpz_t(), bits, y_bits);
            expect_exact_answers(y + 1, base, first_odd, count, scale, offset);
        }
    }
    gmp_randclear(bits);
}

// A y whose quotient by b^e of one leaf is whole: its fraction is 0, which the
// tree cannot tell from a fraction just below 1, so it settles that leaf by
// exact division.
TEST(ScaledRemainderTree, ADoubtfulLeafIsSettledExactly)
{
    const std::uint64_t first_odd = 101;
    mpz_class y;
    mpz_ui_pow_ui(y.get_mpz_t(), 57, first_odd + 2 * 40); // e of leaf 40
    y *= 123456789;
    expect_exact_answers(y, 57, first_odd, 64, 1, 0);
    mpz_class shifted = 12345;
    mpz_mul_2exp(shifted.get_mpz_t(), shifted.get_mpz_t(), 3 * (first_odd + 2 * 17) - 300); // e of leaf 17
    expect_exact_answers(shifted, 2, first_odd, 64, 3, 300);
}

// The grid: every term 0..K-1 in exactly one range, in order; within a
// range each part's work is one kind throughout; and the ranges split where a
// part's work changes.
TEST(TermRanges, CoverEveryTermOnceWithOneKindOfWorkEachPart)
{
    for (const std::int32_t places : {30, 999, 20'001, 400'000}) {
        const SeriesRun series = prepare_series(stormer_series, places);
        const std::vector<TermRange> ranges = term_ranges(series);
        ASSERT_FALSE(ranges.empty());
        EXPECT_EQ(ranges.front().first, 0);
        EXPECT_EQ(ranges.back().end, series.zero_term);
        for (std::size_t r = 0; r < ranges.size(); ++r) {
            EXPECT_LT(ranges[r].first, ranges[r].end) << places << " places, range " << r;
            if (r > 0) {
                EXPECT_EQ(ranges[r].first, ranges[r - 1].end) << places << " places, range " << r;
            }
            for (const PartOfRun& part : series.parts) {
                const PartWork work = work_of(part, ranges[r]);
                for (const std::int64_t k : {ranges[r].first, ranges[r].end - 1}) {
                    const PartWork term_work = k < part.whole_terms ? PartWork::whole_quotients
                                               : k < part.terms     ? PartWork::tree
                                                                    : PartWork::none;
                    EXPECT_EQ(work, term_work) << places << " places, base " << part.part.base << ", term " << k;
                }
            }
        }
    }
}

// The bound every engine's limits are checked against holds n_K, the last
// divisor a run meets, up to the largest run.
TEST(LargestDivisorBound, HoldsTheLastDivisorOfARun)
{
    for (const std::int32_t places : {3, 999, 65'535, 400'002, largest_run.places}) {
        EXPECT_LE(odd_divisor(prepare_series(stormer_series, places).zero_term), largest_divisor_bound(places))
            << places << " places";
    }
}

TEST(Correction, ASumFarFromAWholeNumberIsNotTrusted)
{
    std::vector<PartOfRun> parts(3);
    for (PartOfRun& part : parts) {
        part.tail = 0.125L / 3;
    }
    std::vector<RangeSums> ranges(1);
    ranges[0].fractions.add(0.5);
    ranges[0].residues.add(0.125); // phi - tails - F - G = 0
    EXPECT_EQ(whole_offset(correction_of(0.75L, parts, ranges)), 0);
    ranges[0].residues.add(-1.0 - 1e-13); // a whole number and a distance within the budget
    EXPECT_EQ(whole_offset(correction_of(0.75L, parts, ranges)), 1);
    ranges[0].residues.add(0.001); // beyond it: not rounding, a fault
    EXPECT_EQ(whole_offset(correction_of(0.75L, parts, ranges)), std::nullopt);
}

// A budget so wide that its safety factor's times it reach 1/2 cannot decide
// which whole number the correction lands on, however close it lands.
TEST(Correction, ABudgetTooWideToDecideIsNotTrusted)
{
    EXPECT_EQ(whole_offset(Correction{3.0L, 0.4L / budget_safety_factor}), 3);
    EXPECT_EQ(whole_offset(Correction{3.0L, 0.5L / budget_safety_factor}), std::nullopt);
}
