#pragma once

#include <cstdint>

#include "engine/pi_engine.h"

// The same result limbs, terms used and progress lines as the term-by-term
// sum, found without summing the terms one by one (see the .cpp). Works on as
// many threads as it is given.
class RemainderEngine : public PiEngine {
public:
    // At most `thread_count` threads a run, and never more than pay.
    explicit RemainderEngine(unsigned thread_count);
    MemoryNeed memory_needed(std::int32_t limb_count) const override;
    unsigned most_threads() const override;
    std::int32_t largest_limb_count() const override;
    SumOutcome sum_into(LimbSpan result, TextSink& progress, unsigned threads) override;

private:
    unsigned thread_count_;
};
