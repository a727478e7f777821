#pragma once

#include <cstdint>

#include "engine/correction.h"
#include "engine/pi_engine.h"
#include "engine/progress.h"

// The same result limbs, terms used and progress lines as the term-by-term
// sum, found without summing the terms one by one (see the .cpp). Works on as
// many threads as it is given.
class RemainderEngine : public PiEngine {
public:
    // At most `thread_count` threads a run, and never more than pay; a word
    // for the user, should the engine ever have to take the slow way, goes to
    // `notices`.
    RemainderEngine(unsigned thread_count, TextSink& notices);
    MemoryNeed memory_needed(std::int32_t limb_count) const override;
    unsigned most_threads() const override;
    std::int32_t largest_limb_count() const override;
    SumOutcome sum_into(LimbSpan result, TextSink& progress, unsigned threads) override;

private:
    unsigned thread_count_;
    TextSink& notices_;
};

// Where the correction cannot be trusted (its parts disagree: a fault, never
// seen), says so in one line on `notices`, then sums the result term by term
// (far slower), writing only the progress lines still due.
SumOutcome sum_term_by_term_instead(LimbSpan result, ProgressLines& lines, TextSink& notices,
                                    const Correction& correction);
