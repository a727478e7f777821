#pragma once

#include <cstdint>

#include "engine/correction.h"
#include "engine/pi_engine.h"
#include "engine/progress.h"

// The same result limbs, terms used and progress lines as the term-by-term
// engine, found without summing the terms one by one (see the .cpp). Works
// on as many threads as it is given.
class RemainderEngine : public PiEngine {
public:
    // What a run whose correction misses its budget comes to: handed to the
    // term-by-term engine (the program's), or ended as SumFailure::untrusted
    // (for checks that must not wait an hour for it at the largest run).
    enum class Untrusted { hand_over, fail };

    // At most `thread_count` threads a run, and never more than pay; a word
    // for the user, should a run ever be handed to the term-by-term engine,
    // goes to `notices`.
    RemainderEngine(unsigned thread_count, TextSink& notices, Untrusted untrusted = Untrusted::hand_over);
    MemoryNeed memory_needed(RunSize size) const override;
    unsigned most_threads() const override;
    SumOutcome sum_into(RunSize size, LimbSpan result, TextSink& progress, unsigned threads) override;
    // The correction its last run decided by, and its budget: for checks.
    const Correction& last_correction() const { return last_correction_; }

private:
    unsigned thread_count_;
    TextSink& notices_;
    Untrusted untrusted_;
    Correction last_correction_;
};

// Where the correction cannot be trusted (it lands further from a whole
// number than its error budget allows: a fault, never seen), says so in one
// line on `notices`, then hands the run to the term-by-term engine (far
// slower), which writes only the progress lines still due.
SumOutcome sum_term_by_term_instead(RunSize size, LimbSpan result, ProgressLines& lines, TextSink& notices,
                                    const Correction& correction);
