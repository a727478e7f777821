#include "engine/whole_quotients.h"

#include <bit>
#include <cassert>

#include <flint/ulong_extras.h>

void add_whole_quotient_residues(const PartOfRun& part, std::int32_t places, std::int64_t first, std::int64_t end,
                                 ResidueSums& residues, WorkMeter::Account& work)
{
    assert(part.base_is_power_of_two() && end <= part.whole_terms);
    const unsigned long odd_weight = part.part.weight >> std::countr_zero(part.part.weight);
    const auto d = static_cast<ulong>(places);
    for (std::int64_t k = first; k < end; ++k) {
        const ulong n = odd_divisor(k);
        const ulong inverse = n_preinvert_limb(n);
        const ulong shift = part.exponent_offset - part.exponent_scale * n; // -e_k
        const ulong odd = n_mulmod2_preinv(odd_weight % n, n_powmod2_ui_preinv(5 % n, d, n, inverse), n, inverse);
        residues.add(k, n_mulmod2_preinv(odd, n_powmod2_ui_preinv(2 % n, shift, n, inverse), n, inverse));
        if ((k + 1) % static_cast<std::int64_t>(work_costs::whole_quotients_a_unit) == 0) {
            work.add(1);
        }
    }
}
