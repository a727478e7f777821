#pragma once

#include <cstdint>

#include "engine/correction.h"
#include "engine/progress.h"
#include "engine/stormer_series.h"

// For a part whose base is a power of two, terms k < whole_terms have a
// whole quotient Y_m / m^n_k = odd 2^-e_k (e_k <= 0, odd = w_odd 5^D): its
// residue modulo n_k is a matter of modular powers, and its fraction is 0.
// Adds the residues of the terms first..end-1, and a unit of work to `work`
// for every work_costs::whole_quotients_a_unit of them.
void add_whole_quotient_residues(const PartOfRun& part, std::int32_t places, std::int64_t first, std::int64_t end,
                                 ResidueSums& residues, WorkMeter::Account& work);
