#pragma once

#include <cstdint>

// A run's elapsed wall-clock time as both reports, the console's and the
// file's, show it. The divisions truncate toward zero, so a clock set back
// during a run gives negative fields.
struct ElapsedTime {
    long days = 0;
    long hours = 0;
    long minutes = 0;
    long seconds = 0;
};
ElapsedTime split_elapsed(std::int64_t elapsed_seconds);
