#pragma once

// A finished run as both reports show it, the console's and the file's: the
// result the engine filled, the terms it used, the places it stands for and
// the time it took.

#include <cstdint>

#include "engine/limb_number.h"

// A run's elapsed wall-clock time. The divisions truncate toward zero, so a
// clock set back during a run gives negative fields.
struct ElapsedTime {
    long days = 0;
    long hours = 0;
    long minutes = 0;
    long seconds = 0;
};
ElapsedTime split_elapsed(std::int64_t elapsed_seconds);

struct FinishedRun {
    LimbNumber result;
    std::int32_t terms_used = 0;
    std::int32_t reported_places = 0;
    ElapsedTime elapsed;
};
