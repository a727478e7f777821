#include "engine/pi_engine.h"

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
