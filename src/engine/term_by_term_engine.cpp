#include "engine/term_by_term_engine.h"

#include <array>

#include "engine/stormer_series.h"

namespace {

// The largest size summed: the odd divisors, and each power's divisor m^2,
// must stay within a limb division's divisor.
constexpr std::int32_t largest_places = 1'600'000;
static_assert(largest_divisor_bound(largest_places) <= static_cast<std::uint64_t>(largest_divisor));

// The series has three parts, summed by the three-way sum; each part's
// weight and m^2 fit a limb division.
static_assert(stormer_series.size() == 3);
constexpr bool fits_a_limb_division(SeriesPart part)
{
    return part.base * part.base <= static_cast<unsigned long>(largest_divisor) &&
           part.weight <= static_cast<unsigned long>(largest_divisor);
}
static_assert(fits_a_limb_division(stormer_series[0]) && fits_a_limb_division(stormer_series[1]) &&
              fits_a_limb_division(stormer_series[2]));

constexpr std::size_t working_numbers = 1 + stormer_series.size(); // the term and the powers

} // namespace

MemoryNeed TermByTermEngine::memory_needed(std::int32_t limb_count) const
{
    const std::size_t numbers = working_numbers * sizeof(limb) * static_cast<std::size_t>(limb_count);
    return MemoryNeed{{numbers, 0}, {numbers, 0}};
}

std::int32_t TermByTermEngine::largest_limb_count() const { return limb_count_for(largest_places); }

// One thread: each term depends on the one before.
SumOutcome TermByTermEngine::sum_into(LimbSpan result, TextSink& progress, unsigned)
{
    ProgressLines lines(progress);
    return sum_term_by_term(result, lines);
}

SumOutcome sum_term_by_term(LimbSpan result, ProgressLines& progress)
{
    const auto limb_count = static_cast<std::int32_t>(result.size());
    if (limb_count > limb_count_for(largest_places)) {
        return SumOutcome{0, SumFailure::too_large};
    }
    LimbNumber term_number = allocate_limb_number(limb_count);
    std::array<LimbNumber, stormer_series.size()> power_numbers;
    for (LimbNumber& power : power_numbers) {
        power = allocate_limb_number(limb_count);
    }
    if (!term_number.limbs || !power_numbers[0].limbs || !power_numbers[1].limbs || !power_numbers[2].limbs) {
        return SumOutcome{0, SumFailure::no_memory};
    }
    const LimbSpan term = term_number.span();
    std::array<LimbSpan, stormer_series.size()> powers;
    std::array<limb, stormer_series.size()> squared_bases{};
    for (std::size_t i = 0; i < powers.size(); ++i) {
        const SeriesPart part = stormer_series[i];
        powers[i] = power_numbers[i].span();
        squared_bases[i] = static_cast<limb>(part.base * part.base);
        fill_fraction(powers[i], static_cast<limb>(part.weight), static_cast<limb>(part.base)); // the first term
    }
    if (sum_three(result, powers[0], powers[1], powers[2], 0) > 0) {
        print(progress.sink(), "\nadd: overflow\n");
        return SumOutcome{1, SumFailure::overflow};
    }

    limb odd_divisor = 1;
    bool adding = true;
    std::int32_t terms_used = 1;
    std::array<std::int32_t, stormer_series.size()> leading{};
    bool term_was_nonzero = true;
    while (term_was_nonzero) {
        odd_divisor += 2;
        adding = !adding;
        ++terms_used;

        for (std::size_t i = 0; i < powers.size(); ++i) {
            leading[i] = advance_leading(powers[i], leading[i]);
        }
        for (std::size_t i = 0; i < powers.size(); ++i) {
            divide_small(powers[i], squared_bases[i], leading[i]);
        }
        // The first power is the largest at every step, so its leading index bounds all.
        const std::int32_t leading_index = leading[0];
        if (sum_three(term, powers[0], powers[1], powers[2], leading_index) != 0) {
            print(progress.sink(), "add: overflow\n");
            return SumOutcome{terms_used, SumFailure::overflow};
        }
        divide_small(term, odd_divisor, leading_index);
        if (adding) {
            add_into(result, term, leading_index);
        } else {
            subtract_from(result, term, leading_index);
        }
        progress.reach(terms_used);
        term_was_nonzero = any_nonzero(term, leading_index);
        clear_from(term, leading_index);
    }
    return SumOutcome{terms_used, SumFailure::none};
}
