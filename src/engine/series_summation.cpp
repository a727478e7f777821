#include "engine/series_summation.h"

namespace {

constexpr std::size_t working_numbers = 4;
// The odd divisors stay within a limb division's divisor up to about here:
// the last divisor is about 1.107 times the places.
constexpr std::int32_t largest_places = 1'900'000;

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
    LimbNumber power8_number = allocate_limb_number(limb_count);
    LimbNumber power57_number = allocate_limb_number(limb_count);
    LimbNumber power239_number = allocate_limb_number(limb_count);
    if (!term_number.limbs || !power8_number.limbs || !power57_number.limbs || !power239_number.limbs) {
        return SumOutcome{0, SumFailure::no_memory};
    }
    const LimbSpan term = term_number.span();
    const LimbSpan power8 = power8_number.span();
    const LimbSpan power57 = power57_number.span();
    const LimbSpan power239 = power239_number.span();

    // pi = 24 atan(1/8) + 8 atan(1/57) + 4 atan(1/239): the first term of each.
    fill_fraction(power8, 24, 8);
    fill_fraction(power57, 8, 57);
    fill_fraction(power239, 4, 239);
    if (sum_three(result, power8, power57, power239, 0) > 0) {
        print(progress.sink(), "\nadd: overflow\n");
        return SumOutcome{1, SumFailure::overflow};
    }

    limb odd_divisor = 1;
    bool adding = true;
    std::int32_t terms_used = 1;
    std::int32_t leading8 = 0;
    std::int32_t leading57 = 0;
    std::int32_t leading239 = 0;
    bool term_was_nonzero = true;
    while (term_was_nonzero) {
        odd_divisor += 2;
        adding = !adding;
        ++terms_used;

        leading8 = advance_leading(power8, leading8);
        leading57 = advance_leading(power57, leading57);
        leading239 = advance_leading(power239, leading239);
        divide_small(power8, 8 * 8, leading8);
        divide_small(power57, 57 * 57, leading57);
        divide_small(power239, 239 * 239, leading239);

        // Power 8 is the largest at every step, so its leading index bounds all.
        if (sum_three(term, power8, power57, power239, leading8) != 0) {
            print(progress.sink(), "add: overflow\n");
            return SumOutcome{terms_used, SumFailure::overflow};
        }
        divide_small(term, odd_divisor, leading8);
        if (adding) {
            add_into(result, term, leading8);
        } else {
            subtract_from(result, term, leading8);
        }
        progress.reach(terms_used);
        term_was_nonzero = any_nonzero(term, leading8);
        clear_from(term, leading8);
    }
    return SumOutcome{terms_used, SumFailure::none};
}
