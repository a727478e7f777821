#include <gtest/gtest.h>

#include <mpfr.h>
#include <random>
#include <string>
#include <vector>

#include "engine/remainder_summation.h"
#include "engine/series_summation.h"

namespace {

struct EngineRun {
    std::vector<limb> result;
    std::optional<std::int32_t> terms_used;
    std::string progress;
};

EngineRun run_engine(SeriesSummation engine, std::int32_t limb_count)
{
    std::optional<RunNumbers> numbers = allocate_run_numbers(limb_count);
    StringSink progress;
    EngineRun run;
    run.terms_used = engine(*numbers, progress);
    const LimbSpan result = numbers->view(numbers->result);
    run.result.assign(result.begin(), result.end());
    run.progress = progress.text();
    return run;
}

// Compares the fast engine, without its fallback, with the term-by-term sum.
void expect_same_as_reference(std::int32_t limb_count)
{
    const EngineRun fast = run_engine(try_sum_series_by_remainders, limb_count);
    const EngineRun reference = run_engine(sum_series_by_terms, limb_count);
    ASSERT_TRUE(fast.terms_used.has_value()) << "no trusted result at " << limb_count << " limbs";
    EXPECT_EQ(fast.terms_used, reference.terms_used) << limb_count << " limbs";
    EXPECT_EQ(fast.progress, reference.progress) << limb_count << " limbs";
    EXPECT_TRUE(fast.result == reference.result) << "results differ at " << limb_count << " limbs";
}

std::string digits_of(const std::vector<limb>& number)
{
    std::string digits = std::to_string(number[0]);
    for (std::size_t k = 1; k < number.size(); ++k) {
        char group[4];
        std::snprintf(group, sizeof group, "%03d", number[k]);
        digits += group;
    }
    return digits;
}

} // namespace

TEST(RemainderSummation, MatchesTheTermByTermSumAtEveryLimbCountUpTo1000)
{
    for (std::int32_t limb_count = 4; limb_count <= 1000; ++limb_count) {
        expect_same_as_reference(limb_count);
        if (HasFailure()) {
            return;
        }
    }
}

TEST(RemainderSummation, MatchesTheTermByTermSumAtRandomSizesUpTo30000Places)
{
    std::mt19937 random(20261207);
    std::uniform_int_distribution<std::int32_t> places(1000, 30'000);
    for (int trial = 0; trial < 6; ++trial) {
        expect_same_as_reference(limb_count_for(places(random)));
    }
    expect_same_as_reference(limb_count_for(30'000));
}

TEST(RemainderSummation, LargestSizeAgreesWithAnIndependentPi)
{
    const std::int32_t limb_count = limb_count_for(1'600'000);
    const std::int32_t places = reported_places_for(limb_count);
    const EngineRun fast = run_engine(try_sum_series_by_remainders, limb_count);
    ASSERT_TRUE(fast.terms_used.has_value());
    EXPECT_EQ(*fast.terms_used, 885'845);
    EXPECT_EQ(std::count(fast.progress.begin(), fast.progress.end(), '\n'), 8858);

    mpfr_t pi;
    mpfr_init2(pi, static_cast<mpfr_prec_t>(places * 3.33) + 64);
    mpfr_const_pi(pi, MPFR_RNDN);
    mpfr_exp_t exponent = 0;
    char* pi_digits = mpfr_get_str(nullptr, &exponent, 10, static_cast<std::size_t>(places) + 1, pi, MPFR_RNDZ);
    const std::string expected(pi_digits, static_cast<std::size_t>(places) + 1 - 10);
    mpfr_free_str(pi_digits);
    mpfr_clear(pi);
    mpfr_free_cache();

    EXPECT_EQ(exponent, 1);
    const std::string computed = digits_of(fast.result);
    ASSERT_EQ(computed.size(), static_cast<std::size_t>(places) + 1);
    EXPECT_TRUE(computed.compare(0, expected.size(), expected) == 0)
        << "first difference at digit "
        << std::mismatch(expected.begin(), expected.end(), computed.begin()).first - expected.begin();
}
