#pragma once

// Arb, wherever the system keeps it: inside FLINT from FLINT 3 on, a library
// of its own beside FLINT 2 before that. The build says which (CMake sets
// STORMER_ARB_INSIDE_FLINT); the functions used here are the same in both.

#include <flint/flint.h>
#include <flint/fmpz.h>

#if STORMER_ARB_INSIDE_FLINT
#include <flint/arb.h>
#else
#include <arb.h>
#endif
