#pragma once

#include <cstdint>

#include "engine/pi_engine.h"

// The combined arctangent series summed limb by limb, one term at a time: the
// reference for every other engine. Its working memory is the four numbers
// beside the result (term and the three powers), taken for each run.
class TermByTermEngine : public PiEngine {
public:
    MemoryNeed memory_needed(std::int32_t limb_count) const override;
    SumOutcome sum_into(LimbSpan result, TextSink& progress, unsigned threads) override;
};
