#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/term_by_term_engine.h"
#include "test_helpers.h"

namespace {

struct SummationRun {
    std::vector<limb> result;
    std::int32_t terms_used = 0;
    std::string progress;
};

SummationRun sum_for(std::int32_t asked_places)
{
    const RunSize size = run_size_for(asked_places);
    std::vector<limb> result(static_cast<std::size_t>(size.limbs));
    StringSink progress;
    const SumOutcome outcome = TermByTermEngine().sum_into(size, result, progress, 1);
    EXPECT_EQ(outcome.failure, SumFailure::none);
    return SummationRun{result, outcome.terms_used, progress.text()};
}

} // namespace

TEST(TermByTermEngine, SmallSizesGiveTheirKnownLimbsAndTerms)
{
    const SummationRun ten = sum_for(10);
    EXPECT_EQ(ten.result, (std::vector<limb>{3, 141, 592, 653}));
    EXPECT_EQ(ten.terms_used, 6);

    // The last limb keeps its truncation: no rounding or correction.
    const SummationRun twelve = sum_for(12);
    EXPECT_EQ(twelve.result, (std::vector<limb>{3, 141, 592, 653, 590}));
    EXPECT_EQ(twelve.terms_used, 8);

    const SummationRun thirty = sum_for(30);
    EXPECT_EQ(layout_of(thirty.result), " 3.141592653589793238462643383278");
    EXPECT_EQ(thirty.terms_used, 18);

    for (const SummationRun& run : {ten, twelve, thirty}) {
        EXPECT_EQ(run.progress, "") << "no progress line below 100 terms";
    }
}

TEST(TermByTermEngine, LargerSizesCountTermsAndReportProgress)
{
    const SummationRun hundred = sum_for(100);
    EXPECT_EQ(hundred.terms_used, 55);
    EXPECT_EQ(hundred.result.size(), 34U);
    const SummationRun three_hundred = sum_for(300);
    EXPECT_EQ(three_hundred.terms_used, 166);
    EXPECT_EQ(three_hundred.progress, "<Reached term no. 100>\n");

    const SummationRun thousand = sum_for(1000);
    EXPECT_EQ(thousand.terms_used, 553);
    EXPECT_EQ(thousand.result.size(), 334U);
    EXPECT_EQ(thousand.progress, "<Reached term no. 100>\n<Reached term no. 200>\n<Reached term no. 300>\n"
                                 "<Reached term no. 400>\n<Reached term no. 500>\n");
    EXPECT_EQ(layout_of(thousand.result).substr(0, 53), " 3.14159265358979323846264338327950288419716939937510");
}
