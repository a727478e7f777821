#pragma once

// Owners of the big-number libraries' own numbers, so that each is cleared
// however its scope ends.

#include <mpfr.h>

#include "engine/arb_library.h"

struct MpfrNumber {
    mpfr_t value;
    explicit MpfrNumber(mpfr_prec_t precision) { mpfr_init2(value, precision); }
    ~MpfrNumber() { mpfr_clear(value); }
    MpfrNumber(const MpfrNumber&) = delete;
    MpfrNumber& operator=(const MpfrNumber&) = delete;
};

template <typename Number, void (*initialise)(Number*), void (*clear)(Number*)> struct FlintNumber {
    Number value[1];
    FlintNumber() { initialise(value); }
    ~FlintNumber() { clear(value); }
    FlintNumber(const FlintNumber&) = delete;
    FlintNumber& operator=(const FlintNumber&) = delete;
};
using ArbNumber = FlintNumber<arb_struct, arb_init, arb_clear>;
using FmpzNumber = FlintNumber<fmpz, fmpz_init, fmpz_clear>;
