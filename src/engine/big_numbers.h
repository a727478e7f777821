#pragma once

// The big-number libraries as the engine uses them, in one place: GMP, MPFR,
// and FLINT with Arb, wherever the system keeps Arb (inside FLINT from FLINT
// 3 on, a library of its own beside FLINT 2 before that; CMake sets
// STORMER_ARB_INSIDE_FLINT), owners of their numbers, where their memory comes
// from, and the engine's large products, divisions and decimal conversion.
//
// From FLINT 3 on those go through FLINT, whose multiplication is GMP's below
// its own threshold and its small-prime FFT above it where FLINT was built
// with one (a build for processors with AVX2); FLINT's division and
// conversion build on that product. With FLINT 2 they are GMP's. Which copy of
// FLINT is loaded is the loader's choice, so nothing here asks what the copy
// can do: FLINT picks its own algorithms.

#include <cstddef>
#include <gmpxx.h>
#include <mpfr.h>
#include <string>

#include <flint/flint.h>
#include <flint/fmpz.h>
#if STORMER_ARB_INSIDE_FLINT
#include <flint/arb.h>
#else
#include <arb.h>
#endif

// Owners of the libraries' own numbers, so that each is cleared however its
// scope ends.
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

using AllocateCall = void* (*)(std::size_t bytes);
using ReallocateCall = void* (*)(void* block, std::size_t bytes);

// GMP (and MPFR, which allocates through GMP) and FLINT take their memory from
// `allocate` and `reallocate` (std::malloc and std::realloc in the program;
// std::free gives it back). Where those fail, and where FLINT would abort,
// the process ends by end_for_want_of_memory instead of by the libraries' own
// reports, which abort or crash and lose the held output. Called once, before
// any big number exists.
void route_library_memory(AllocateCall allocate, ReallocateCall reallocate);

// Whether the products, divisions and conversion below go through FLINT.
constexpr bool large_products_through_flint = __FLINT_RELEASE >= 30000;
// From this many limbs in the smaller operand a product goes through FLINT:
// below, FLINT would hand it to GMP anyway (its FFT starts higher up) and the
// way through it only costs. So far above the sizes FLINT's inline product
// dispatches by table that the table, whose width depends on how FLINT was
// configured, is never read: any copy of FLINT 3 may be the one loaded.
constexpr long flint_product_limbs = 200;
// FLINT's division pays only where its product does: from this many limbs in
// the divisor and in the quotient. `bench/engine_check --thresholds`
// measures both crossovers on the machine at hand.
constexpr long flint_division_limbs = 1000;

// product = a b; product is neither factor.
void multiply(mpz_class& product, const mpz_class& a, const mpz_class& b);

// square = a a; square is not a.
void square(mpz_class& square, const mpz_class& a);

// raised = base^exponent, by squaring through the products above.
void raise(mpz_class& raised, unsigned long base, unsigned long exponent);

// base^exponent to `bits` bits: top 2^dropped, at most base^exponent and
// more than base^exponent (1 - 2^-bits); top holds at least `bits` bits
// unless nothing was dropped (then it is base^exponent itself).
struct RaisedTop {
    mpz_class top;
    unsigned long dropped = 0;
};
RaisedTop raise_to_bits(unsigned long base, unsigned long exponent, unsigned long bits);

// quotient = floor(y / b^e) for y >= 0: by a shift where b is 2 (e may then
// be below 0, for y 2^-e), by a division otherwise (e >= 0; b^e made only
// where it does not exceed y by far, the quotient being 0 beyond).
void divide_by_raised(mpz_class& quotient, const mpz_class& y, unsigned long b, long e);

// quotient = floor(a / b) for a >= 0 and b > 0.
void divide_floor(mpz_class& quotient, const mpz_class& a, const mpz_class& b);

// quotient = a / b where b divides a exactly.
void divide_exactly(mpz_class& quotient, const mpz_class& a, const mpz_class& b);

// a >= 0 in decimal, most significant digit first.
std::string decimal_digits(const mpz_class& a);

// The number's bits, from its highest set one down.
inline unsigned long bits_in(const mpz_class& x)
{
    return static_cast<unsigned long>(mpz_sizeinbase(x.get_mpz_t(), 2));
}

// Gives the memory of a number no longer needed back at once.
inline void release(mpz_class& x)
{
    mpz_class released;
    released.swap(x);
}

// The versions of FLINT and GMP loaded, for reports: "FLINT 3.6.0, GMP 6.2.1".
std::string library_versions();

// FLINT keeps caches (its FFT's tables, among others) for each thread until
// told to let them go: called by every thread of the engine when its work is
// done (and where a cache would hold much memory meanwhile), so that the
// memory a run used is there again for the next.
void release_library_caches();
