#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "platform/text_sink.h"

// A fixed-point number in base 1000: limb 0 is the integer part, each further
// limb holds the next three decimal digits. Between operations every limb
// holds 0..999.
using limb = std::int32_t;
using LimbSpan = std::span<limb>;
using ConstLimbSpan = std::span<const limb>;

constexpr limb limb_base = 1000;
// A remainder times the base must stay within 32 bits.
constexpr limb largest_divisor = (INT32_MAX - (limb_base - 1)) / limb_base;

// x = p / q, truncated to the length of x.
void fill_fraction(LimbSpan x, limb p, limb q);
// x = x / d from limb s on; limbs below s are left alone, the remainder dropped.
void divide_small(LimbSpan x, limb d, std::int32_t s);
// t = a + b + c on limbs s..N-1; returns the carry left over limb s.
limb sum_three(LimbSpan t, ConstLimbSpan a, ConstLimbSpan b, ConstLimbSpan c, std::int32_t s);
// a = a + t; below s the pass stops once no carry is pending.
void add_into(LimbSpan a, ConstLimbSpan t, std::int32_t s);
// a = a - t; below s the pass stops once no borrow is pending.
void subtract_from(LimbSpan a, ConstLimbSpan t, std::int32_t s);
// First non-zero limb at or after s, or s itself when there is none.
std::int32_t advance_leading(ConstLimbSpan x, std::int32_t s);
bool any_nonzero(ConstLimbSpan x, std::int32_t s);
void clear_from(LimbSpan x, std::int32_t s);
// The one text form of a limb number: " 3." then the fractional limbs as
// three digits each, 25 limbs on the first line and 26 on every further one.
void write_layout(TextSink& sink, ConstLimbSpan x);

// A run's size in the two forms its sides need, made once from the places
// asked: the limb count N of its numbers, and the decimal places D = 3 (N -
// 1) it computes, reports and names its file after.
struct RunSize {
    std::int32_t limbs = 0;
    std::int32_t places = 0;
};
constexpr RunSize run_size_for(std::int32_t asked_places)
{
    const std::int32_t limbs = (asked_places + 3) / 3;
    return RunSize{limbs, 3 * limbs - 3};
}

// Limbs from std::calloc: a failure to allocate them is an answer here,
// not the end of the program that operator new's handler makes it.
struct FreeLimbs {
    void operator()(limb* limbs) const;
};

// A limb number of its own, zeroed; no limbs when the memory cannot be had.
struct LimbNumber {
    std::unique_ptr<limb[], FreeLimbs> limbs;
    std::int32_t count = 0;

    LimbSpan span() { return LimbSpan(limbs.get(), limbs ? static_cast<std::size_t>(count) : 0); }
    ConstLimbSpan span() const { return ConstLimbSpan(limbs.get(), limbs ? static_cast<std::size_t>(count) : 0); }
};
LimbNumber allocate_limb_number(std::int32_t count);
