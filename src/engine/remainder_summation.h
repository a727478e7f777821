#pragma once

#include <cstdint>

#include "engine/pi_engine.h"

// The same result limbs, terms used and progress lines as the term-by-term
// sum, found without summing the terms one by one (see the .cpp). Works on as
// many threads as it is given; reports an untrusted result rather than a wrong
// one.
class RemainderEngine : public PiEngine {
public:
    explicit RemainderEngine(unsigned thread_count);
    std::size_t memory_needed(std::int32_t limb_count) const override;
    SumOutcome sum_into(LimbSpan result, TextSink& progress) override;

private:
    unsigned thread_count_;
};
