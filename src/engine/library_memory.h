#pragma once

#include <cstddef>

using AllocateCall = void* (*)(std::size_t bytes);
using ReallocateCall = void* (*)(void* block, std::size_t bytes);

// GMP (and MPFR, which allocates through GMP) and FLINT take their memory from
// `allocate` and `reallocate` (std::malloc and std::realloc in the program;
// std::free gives it back). Where those fail, and where FLINT would abort,
// the process ends by end_for_want_of_memory instead of by the libraries' own
// reports, which abort or crash and lose the held output. Called once, before
// any big number exists.
void route_library_memory(AllocateCall allocate, ReallocateCall reallocate);
