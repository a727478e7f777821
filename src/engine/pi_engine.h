#pragma once

// The pi engine: limb numbers, their decimal layout, and the engines that fill
// a limb number with pi by the combined Størmer series. It may use the
// platform layer (text sinks, threads, memory checks) and nothing above it.

#include <cstddef>
#include <cstdint>

#include "engine/limb_number.h"
#include "platform/text_sink.h"

enum class SumFailure {
    none,
    overflow,  // the series' own overflow check fired; its message has been written
    untrusted, // the arithmetic could not vouch for its result; the result is left zero
    no_memory, // working memory could not be had after all; nothing has been written
};

struct SumOutcome {
    std::int32_t terms_used = 0;
    SumFailure failure = SumFailure::none;
};

// What a run loop needs of an engine. Each engine owns its working memory.
class PiEngine {
public:
    virtual ~PiEngine() = default;
    // Working memory beyond the result that a run of this many limbs needs at
    // its peak, in bytes of address space.
    virtual std::size_t memory_needed(std::int32_t limb_count) const = 0;
    // Fills a zeroed result with pi, writing the progress lines to progress,
    // and returns the terms used, or why it could not.
    virtual SumOutcome sum_into(LimbSpan result, TextSink& progress) = 0;
};

// A fast engine with a slow one behind it for a result the fast one cannot
// vouch for. Progress lines the fast one wrote are not written again.
class EngineWithFallback : public PiEngine {
public:
    EngineWithFallback(PiEngine& fast, PiEngine& fallback) : fast_(fast), fallback_(fallback) {}
    std::size_t memory_needed(std::int32_t limb_count) const override;
    SumOutcome sum_into(LimbSpan result, TextSink& progress) override;

private:
    PiEngine& fast_;
    PiEngine& fallback_;
};
