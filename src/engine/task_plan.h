#pragma once

// The fast engine's work for one run, cut into tasks for the threads: a
// scaled remainder tree for each run of terms of each part (parts over the
// same runs share the runs' divisors), the whole-number quotients of a
// power-of-two base, and pi's digits. Longest first, so that the threads
// finish close together.

#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "engine/correction.h"
#include "engine/pi_digits.h"
#include "engine/progress.h"
#include "engine/stormer_series.h"

struct SharedDivisors;

// What the tasks fill in, and the meter they report to.
struct RunWork {
    explicit RunWork(SeriesRun prepared);
    ~RunWork();

    SeriesRun series;
    ResidueSums residues;             // for each term k < K
    std::deque<RoundedSum> fractions; // F, a part for each tree (a deque: parts stay where they are)
    PiDigits pi;
    WorkMeter meter;
    std::vector<std::unique_ptr<SharedDivisors>> divisors;
};

std::vector<std::function<void()>> plan_tasks(RunWork& work);
