#include "engine/term_by_term_engine.h"

#include <array>
#include <cassert>

#include "engine/stormer_series.h"

namespace {

// The series has three parts, summed by the three-way sum (each part's m^2
// and w fit a limb division, and the odd divisors of the largest run do:
// stormer_series.h checks both).
static_assert(stormer_series.size() == 3);

constexpr std::size_t working_numbers = 1 + stormer_series.size(); // the term and the powers

} // namespace

MemoryNeed TermByTermEngine::memory_needed(RunSize size) const
{
    const std::size_t numbers = working_numbers * sizeof(limb) * static_cast<std::size_t>(size.limbs);
    return MemoryNeed{{numbers, 0}, {numbers, 0}};
}

// One thread: each term depends on the one before.
SumOutcome TermByTermEngine::sum_into(RunSize size, LimbSpan result, TextSink& progress, unsigned)
{
    ProgressLines lines(progress);
    return sum_term_by_term(size, result, lines);
}

SumOutcome sum_term_by_term(RunSize size, LimbSpan result, ProgressLines& progress)
{
    assert(result.size() == static_cast<std::size_t>(size.limbs));
    if (size.limbs > largest_run.limbs) {
        return SumOutcome{0, SumFailure::too_large};
    }
    const std::int32_t limb_count = size.limbs;
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

    limb divisor = 1; // n_k
    bool adding = true;
    std::int32_t terms_used = 1;
    std::array<std::int32_t, stormer_series.size()> leading{};
    bool term_was_nonzero = true;
    while (term_was_nonzero) {
        divisor += 2;
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
        divide_small(term, divisor, leading_index);
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
