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
    no_memory, // working memory could not be had after all; the result is left zero
    too_large, // beyond the largest run (largest_run); nothing has been written
    untrusted, // the remainder engine's correction missed its budget, and it was told not to hand the run over
};

struct SumOutcome {
    std::int32_t terms_used = 0;
    SumFailure failure = SumFailure::none;
};

// Bytes of memory: some whatever the threads, and some for each thread.
struct MemoryFigures {
    std::size_t shared = 0;
    std::size_t per_thread = 0;

    constexpr std::size_t with_threads(unsigned threads) const { return shared + per_thread * threads; }
};

// Working memory beyond the result that a run needs at its peak: address
// space mapped (what a limit on address space counts), and memory in use
// (what a control group's memory limit counts).
struct MemoryNeed {
    MemoryFigures address_space;
    MemoryFigures resident;
};

// What a run loop needs of an engine. Each engine owns its working memory,
// and sums every run up to largest_run (stormer_series.h).
class PiEngine {
public:
    virtual ~PiEngine() = default;
    virtual MemoryNeed memory_needed(RunSize size) const = 0;
    // The most threads a run would start (at least 1).
    virtual unsigned most_threads() const { return 1; }
    // Fills a zeroed result of size.limbs limbs with pi on at most `threads`
    // threads, writing the progress lines to progress, and returns the terms
    // used, or why it could not.
    virtual SumOutcome sum_into(RunSize size, LimbSpan result, TextSink& progress, unsigned threads) = 0;
};
