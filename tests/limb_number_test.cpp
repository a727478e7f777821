#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/limb_number.h"
#include "test_helpers.h"

namespace {

std::vector<limb> filled(std::size_t count, limb p, limb q)
{
    std::vector<limb> x(count);
    fill_fraction(x, p, q);
    return x;
}

using Limbs = std::vector<limb>;

} // namespace

TEST(LimbArithmetic, FillFractionTruncatesLongDivision)
{
    EXPECT_EQ(filled(4, 24, 8), (Limbs{3, 0, 0, 0}));
    EXPECT_EQ(filled(4, 8, 57), (Limbs{0, 140, 350, 877}));
    EXPECT_EQ(filled(4, 4, 239), (Limbs{0, 16, 736, 401}));
}

TEST(LimbArithmetic, DivideSmallStartsAtItsIndexAndDropsTheRemainder)
{
    Limbs x{7, 5, 0, 1};
    divide_small(x, 4, 1); // 0.005000001 / 4 = 0.00125000025, truncated
    EXPECT_EQ(x, (Limbs{7, 1, 250, 0}));
    Limbs largest{0, 999, 999, 999};
    divide_small(largest, 1'799'999, 1);
    EXPECT_EQ(largest, (Limbs{0, 0, 0, 555}));
}

TEST(LimbArithmetic, SumThreeCarriesAndReportsTheCarryOverItsStart)
{
    Limbs t(4, 0);
    EXPECT_EQ(sum_three(t, Limbs{0, 999, 999, 999}, Limbs{0, 0, 0, 1}, Limbs{0, 0, 0, 0}, 1), 1);
    EXPECT_EQ(t, (Limbs{0, 0, 0, 0}));
    Limbs u{42, 0, 0, 0};
    EXPECT_EQ(sum_three(u, Limbs{0, 1, 500, 600}, Limbs{0, 2, 500, 700}, Limbs{0, 3, 0, 800}, 1), 0);
    EXPECT_EQ(u, (Limbs{42, 7, 2, 100})) << "limbs below the start are not written";
}

TEST(LimbArithmetic, AddIntoCarriesBelowTheLeadingIndexThenStops)
{
    Limbs a{1, 999, 999, 500};
    add_into(a, Limbs{0, 0, 0, 500}, 3);
    EXPECT_EQ(a, (Limbs{2, 0, 0, 0}));

    Limbs overflowing{999, 999, 0, 0};
    add_into(overflowing, Limbs{0, 1, 0, 0}, 1);
    EXPECT_EQ(overflowing, (Limbs{0, 0, 0, 0})) << "the carry out of limb 0 is dropped";

    // Below s the pass stops at the first limb that leaves no carry: the
    // addend's limb 0 is never looked at.
    Limbs stops{1, 5, 0, 0};
    add_into(stops, Limbs{7, 0, 0, 1}, 3);
    EXPECT_EQ(stops, (Limbs{1, 5, 0, 1}));
}

TEST(LimbArithmetic, SubtractFromBorrowsBelowTheLeadingIndexThenStops)
{
    Limbs a{3, 0, 0, 100};
    subtract_from(a, Limbs{0, 0, 0, 101}, 3);
    EXPECT_EQ(a, (Limbs{2, 999, 999, 999}));

    Limbs below_zero{0, 0, 0, 0};
    subtract_from(below_zero, Limbs{0, 0, 0, 1}, 3);
    EXPECT_EQ(below_zero, (Limbs{999, 999, 999, 999})) << "the borrow out of limb 0 is dropped";

    Limbs stops{3, 5, 9, 9};
    subtract_from(stops, Limbs{1, 0, 0, 9}, 3);
    EXPECT_EQ(stops, (Limbs{3, 5, 9, 0}));
}

TEST(LimbArithmetic, LeadingIndexAndZeroTests)
{
    const Limbs x{0, 0, 5, 0};
    EXPECT_EQ(advance_leading(x, 0), 2);
    EXPECT_EQ(advance_leading(x, 2), 2);
    EXPECT_EQ(advance_leading(x, 3), 3) << "an all-zero tail leaves the index where it was";
    EXPECT_TRUE(any_nonzero(x, 1));
    EXPECT_FALSE(any_nonzero(x, 3));
    EXPECT_FALSE(any_nonzero(x, 4));

    Limbs y{1, 2, 3, 4};
    clear_from(y, 2);
    EXPECT_EQ(y, (Limbs{1, 2, 0, 0}));
    clear_from(y, 4);
    EXPECT_EQ(y, (Limbs{1, 2, 0, 0}));
}

TEST(DecimalLayout, ShortAndSingleLimbNumbers)
{
    EXPECT_EQ(layout_of(Limbs{3, 141, 592, 653}), " 3.141592653");
    EXPECT_EQ(layout_of(Limbs{3}), " 3.");
    EXPECT_EQ(layout_of(Limbs{12, 7, 0}), " 12.007000");
}

TEST(DecimalLayout, FullLinesEndWithALineFeed)
{
    Limbs first_line(26, 0);
    first_line[0] = 3;
    for (std::size_t k = 1; k < first_line.size(); ++k) {
        first_line[k] = static_cast<limb>(k);
    }
    std::string expected = " 3.";
    for (std::size_t k = 1; k < 26; ++k) {
        char digits[4];
        std::snprintf(digits, sizeof digits, "%03zu", k);
        expected += digits;
    }
    expected += "\n";
    EXPECT_EQ(layout_of(first_line), expected);

    Limbs two_lines(52, 0);
    two_lines[0] = 3;
    two_lines[51] = 999;
    EXPECT_EQ(layout_of(two_lines), " 3." + std::string(75, '0') + "\n" + std::string(75, '0') + "999\n");

    Limbs partial(53, 0);
    EXPECT_EQ(layout_of(partial), " 0." + std::string(75, '0') + "\n" + std::string(78, '0') + "\n000");
}

#ifndef NDEBUG
TEST(LimbArithmeticDeathTest, PreconditionsAreChecked)
{
    Limbs x{0, 1, 2, 3};
    EXPECT_DEATH(divide_small(x, 0, 1), "");
    EXPECT_DEATH(divide_small(x, largest_divisor + 1, 1), "");
    EXPECT_DEATH(add_into(x, Limbs{0, 1, 2}, 1), "");
}
#endif
