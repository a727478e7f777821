#include "engine/pi_engine.h"

unsigned threads_within_memory(const PiEngine& engine, std::int32_t limb_count, const MemoryTest& memory_can_be_had)
{
    const MemoryNeed need = engine.memory_needed(limb_count);
    const std::size_t result_bytes = sizeof(limb) * static_cast<std::size_t>(limb_count);
    unsigned threads = engine.most_threads();
    while (threads > 0 && !memory_can_be_had(result_bytes + need.address_space.with_threads(threads),
                                             result_bytes + need.resident.with_threads(threads))) {
        --threads;
    }
    return threads;
}
