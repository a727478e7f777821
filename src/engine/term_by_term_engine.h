#pragma once

#include <cstdint>

#include "engine/pi_engine.h"
#include "engine/progress.h"

// The combined arctangent series summed limb by limb, one term at a time: the
// arithmetic whose result defines the digits, which the remainder engine
// reproduces and hands a run back to should it ever have to. Its working
// memory is the four numbers beside the result (term and the three powers),
// taken for each run.
class TermByTermEngine : public PiEngine {
public:
    MemoryNeed memory_needed(RunSize size) const override;
    SumOutcome sum_into(RunSize size, LimbSpan result, TextSink& progress, unsigned threads) override;
};

// The same sum, writing only the progress lines `progress` has not written
// yet: an engine that hands a run over goes on from where it was.
SumOutcome sum_term_by_term(RunSize size, LimbSpan result, ProgressLines& progress);
