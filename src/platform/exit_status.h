#pragma once

// How the process ends, every way in one place.
constexpr int exit_done = 0;          // the quit answer, or the end of input
constexpr int exit_overflow = 1;      // the term-by-term sum's overflow check fired (its message is on standard output)
constexpr int exit_output_failed = 2; // standard output could not be written
constexpr int exit_out_of_memory = 3; // memory ran out after all, the check before the run notwithstanding
