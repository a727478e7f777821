#include "platform/memory.h"

#include <algorithm>
#include <optional>
#include <sys/mman.h>

namespace {

bool resident_memory_can_be_had(std::size_t bytes)
{
    const std::optional<std::size_t> left = memory_left_in_control_groups();
    return !left || bytes <= *left;
}

bool address_space_can_be_had(std::size_t bytes)
{
    if (bytes == 0) {
        return true;
    }
    // Mapping it writable asks the kernel for both the address space and the
    // commitment; nothing is touched, and it is given straight back.
    void* trial = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (trial == MAP_FAILED) {
        return false;
    }
    ::munmap(trial, bytes);
    return true;
}

} // namespace

SessionMemory::SessionMemory() : address_space_at_start_(address_space_in_use()) {}

bool SessionMemory::can_be_had(std::size_t address_space, std::size_t resident) const
{
    give_back_free_memory();
    if (!resident_memory_can_be_had(resident)) {
        return false;
    }
    // Taken after the control groups' files are read: reading them takes
    // heap memory too.
    const std::size_t in_use = address_space_in_use();
    const std::size_t kept = in_use > address_space_at_start_ ? in_use - address_space_at_start_ : 0;
    const std::size_t allowed = std::min(kept, kept_by_the_heap);
    return address_space_can_be_had(address_space > allowed ? address_space - allowed : 0);
}
