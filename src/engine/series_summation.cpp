#include "engine/series_summation.h"

std::optional<std::int32_t> sum_series_by_terms(RunNumbers& numbers, TextSink& progress)
{
    const LimbSpan result = numbers.view(numbers.result);
    const LimbSpan term = numbers.view(numbers.term);
    const LimbSpan power8 = numbers.view(numbers.power8);
    const LimbSpan power57 = numbers.view(numbers.power57);
    const LimbSpan power239 = numbers.view(numbers.power239);

    // pi = 24 atan(1/8) + 8 atan(1/57) + 4 atan(1/239): the first term of each.
    fill_fraction(power8, 24, 8);
    fill_fraction(power57, 8, 57);
    fill_fraction(power239, 4, 239);
    if (sum_three(result, power8, power57, power239, 0) > 0) {
        print(progress, "\nadd: overflow\n");
        return std::nullopt;
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
            print(progress, "add: overflow\n");
            return std::nullopt;
        }
        divide_small(term, odd_divisor, leading8);
        if (adding) {
            add_into(result, term, leading8);
        } else {
            subtract_from(result, term, leading8);
        }
        if (terms_used % 100 == 0) {
            print(progress, "<Reached term no. %li>\n", static_cast<long>(terms_used));
        }
        term_was_nonzero = any_nonzero(term, leading8);
        clear_from(term, leading8);
    }
    return terms_used;
}
