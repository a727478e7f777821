#include "engine/pi_engine.h"

#include <algorithm>

namespace {

// Counts what passes through to the sink behind it.
class CountingSink : public TextSink {
public:
    explicit CountingSink(TextSink& next) : next_(next) {}
    void write(std::string_view text) override
    {
        written_ += text.size();
        next_.write(text);
    }
    bool broken() const override { return next_.broken(); }
    std::size_t written() const { return written_; }

private:
    TextSink& next_;
    std::size_t written_ = 0;
};

// Drops the first bytes it is given, passes on the rest.
class SkippingSink : public TextSink {
public:
    SkippingSink(TextSink& next, std::size_t skipped) : next_(next), to_skip_(skipped) {}
    void write(std::string_view text) override
    {
        const std::size_t skipped = std::min(to_skip_, text.size());
        to_skip_ -= skipped;
        text.remove_prefix(skipped);
        if (!text.empty()) {
            next_.write(text);
        }
    }
    bool broken() const override { return next_.broken(); }

private:
    TextSink& next_;
    std::size_t to_skip_;
};

} // namespace

unsigned threads_within_memory(const PiEngine& engine, std::int32_t limb_count,
                               bool (*memory_can_be_had)(std::size_t bytes))
{
    const MemoryNeed need = engine.memory_needed(limb_count);
    unsigned threads = engine.most_threads();
    while (threads > 0 && !memory_can_be_had(need.with_threads(threads))) {
        --threads;
    }
    return threads;
}

MemoryNeed EngineWithFallback::memory_needed(std::int32_t limb_count) const
{
    const MemoryNeed fast = fast_.memory_needed(limb_count);
    const MemoryNeed fallback = fallback_.memory_needed(limb_count);
    return MemoryNeed{std::max(fast.shared, fallback.shared), std::max(fast.per_thread, fallback.per_thread)};
}

unsigned EngineWithFallback::most_threads() const { return std::max(fast_.most_threads(), fallback_.most_threads()); }

SumOutcome EngineWithFallback::sum_into(LimbSpan result, TextSink& progress, unsigned threads)
{
    CountingSink counted(progress);
    const SumOutcome outcome = fast_.sum_into(result, counted, threads);
    if (outcome.failure != SumFailure::untrusted) {
        return outcome;
    }
    // Both write the same progress lines: only those not yet shown go out.
    std::fill(result.begin(), result.end(), 0);
    SkippingSink rest(progress, counted.written());
    return fallback_.sum_into(result, rest, threads);
}
