#pragma once

// The remainder engine's work for one run, cut into tasks for the threads: pi's
// digits, and for each term range on a grid common to all parts, every
// part's work over those terms (a scaled remainder tree over the range's
// divisors, made once for all the parts that need them, or the whole-number
// quotients of a base 2^a), summed into the range's own partial sums
// of F and G. A range's numbers live only while its task does. The order of
// the tasks is in task_plan.cpp.

#include <functional>
#include <vector>

#include "engine/correction.h"
#include "engine/pi_digits.h"
#include "engine/progress.h"
#include "engine/stormer_series.h"

// What the tasks fill in, and the meter they report to.
struct RunWork {
    RunWork(SeriesRun prepared, LimbSpan result_limbs)
        : series(std::move(prepared)), result(result_limbs), meter(series)
    {
    }

    SeriesRun series;
    std::vector<RangeSums> range_sums; // one for each term range

    LimbSpan result;     // P, pi's own digits, once their task is done
    long double phi = 0; // B pi - P
    RunMeter meter;
};

std::vector<std::function<void()>> plan_tasks(RunWork& work);
