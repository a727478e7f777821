#pragma once

// The fast engine's work for one run, cut into tasks for the threads: pi's
// digits, and for each run of terms on a grid common to all parts, every
// part's share of those terms (a scaled remainder tree over the run's
// divisors, made once for all the parts that need them, or the whole-number
// quotients of a power-of-two base), summed into the run's own parts of F and
// G. A run's numbers live only while its task does. Longest first, so that
// the threads finish close together.

#include <deque>
#include <functional>
#include <vector>

#include "engine/correction.h"
#include "engine/pi_digits.h"
#include "engine/progress.h"
#include "engine/stormer_series.h"

// What the tasks fill in, and the meter they report to.
struct RunWork {
    explicit RunWork(SeriesRun prepared) : series(std::move(prepared)) {}

    SeriesRun series;
    // F and G, in the parts the runs of terms summed (deques: the parts stay
    // where they are while others are added).
    std::deque<RoundedSum> fractions;
    std::deque<RoundedSum> residue_shares;
    PiDigits pi;
    WorkMeter meter;
};

std::vector<std::function<void()>> plan_tasks(RunWork& work);
