#pragma once

#include <cstdint>

#include "engine/pi_engine.h"
#include "engine/progress.h"

// The combined arctangent series summed limb by limb, one term at a time: the
// reference for every other engine. Its working memory is the four numbers
// beside the result (term and the three powers), taken for each run.
class TermByTermEngine : public PiEngine {
public:
    MemoryNeed memory_needed(std::int32_t limb_count) const override;
    std::int32_t largest_limb_count() const override;
    SumOutcome sum_into(LimbSpan result, TextSink& progress, unsigned threads) override;
};

// The same sum, writing only the progress lines `progress` has not written
// yet: an engine that hands a run over goes on from where it was.
SumOutcome sum_term_by_term(LimbSpan result, ProgressLines& progress);
