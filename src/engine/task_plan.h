#pragma once

// The fast engine's work for one run, cut into tasks for the threads: pi's
// digits, and for each term range on a grid common to all parts, every
// part's work over those terms (a scaled remainder tree over the range's
// divisors, made once for all the parts that need them, or the whole-number
// quotients of a power-of-two base), summed into the range's own partial sums
// of F and G. A range's numbers live only while its task does. Longest first,
// so that the threads finish close together.

#include <functional>
#include <vector>

#include "engine/correction.h"
#include "engine/pi_digits.h"
#include "engine/progress.h"
#include "engine/stormer_series.h"

// What the tasks fill in, and the meter they report to.
struct RunWork {
    RunWork(SeriesRun prepared, LimbSpan result_limbs) : series(std::move(prepared)), result(result_limbs) {}

    SeriesRun series;
    std::vector<RangeSums> range_sums; // one for each term range

    LimbSpan result;     // P, pi's own digits, once their task is done
    long double phi = 0; // B pi - P
    WorkMeter meter;
};

std::vector<std::function<void()>> plan_tasks(RunWork& work);

// The terms first..end-1.
struct TermRange {
    std::int64_t first;
    std::int64_t end;

    std::int64_t terms() const { return end - first; }
};

// What a part does for the terms of a range.
enum class PartWork { none, whole_quotients, tree };

// The term ranges of a run, and each part's work in one (for measuring).
std::vector<TermRange> term_ranges(const SeriesRun& series);
PartWork work_of(const PartOfRun& part, TermRange range);
