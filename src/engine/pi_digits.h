#pragma once

// pi's own digits, the other half of the remainder engine's identity, through
// the library seam: Arb (Chudnovsky's series) makes pi as a whole number of
// 2^-precision, checked against its own error radius, and it is turned into
// decimal (big_numbers.h). At 1,599,999 places on the development machine,
// alone on one core (FLINT 3.6 built for it): Arb's pi about 0.45 s, the
// product by 10^(D + guard digits) and the decimal conversion about 0.1 s;
// some 19 MiB in flight at Arb's peak, the largest of any task's.

#include <cstdint>
#include <gmpxx.h>

#include "engine/limb_number.h"

// Digits of pi made past the last place: phi to 10^-pi_guard_digits, far
// finer than the error budget needs (correction.cpp counts on it).
constexpr int pi_guard_digits = 24;

// B pi = P + phi for B = 10^D, D = places: writes P into the result's limbs
// (the whole part, then three digits a limb) and returns phi. ten_to_places
// is B, which the caller has at hand.
long double write_pi_digits(LimbSpan result, std::int32_t places, const mpz_class& ten_to_places);

// number + addend, in place, for a whole number as small as a correction
// (it never runs past the number's whole part).
void add_whole_number(LimbSpan number, long long addend);
