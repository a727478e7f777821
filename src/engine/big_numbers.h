#pragma once

// The engine's large products, divisions and decimal conversion. From FLINT 3
// on they go through FLINT, whose multiplication is GMP's below its own
// threshold and its small-prime FFT above it where FLINT was built with one
// (a build for processors with AVX2); FLINT's division and conversion build
// on that product. With FLINT 2 they are GMP's. Which copy of FLINT is loaded
// is the loader's choice, so nothing here asks what the copy can do: FLINT
// picks its own algorithms.

#include <cstddef>
#include <gmpxx.h>
#include <string>

// product = a b; product is neither factor.
void multiply(mpz_class& product, const mpz_class& a, const mpz_class& b);

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
// told to let them go: called at the end of every piece of work, so that the
// memory a run used is there again for the next.
void release_library_caches();
