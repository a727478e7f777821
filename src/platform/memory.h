#pragma once

#include <cstddef>

// Whether a run can have `address_space` more bytes mapped and committed now
// (what a limit on address space, ulimit -v, and the kernel's overcommit rule
// count) and `resident` more bytes in use within the memory limits of the
// process's control groups. The big-number libraries cannot recover from a
// failed allocation, so a shortage has to be found before they start.
class MemoryCheck {
public:
    virtual ~MemoryCheck() = default;
    virtual bool can_be_had(std::size_t address_space, std::size_t resident) const = 0;
};

// The system's memory as a session sees it: every run gets the answer the
// first would get. A run leaves the heap a little larger than it found it:
// small blocks the C library keeps for each thread, for the next run to take
// again. So what the process's address space has grown since the session
// began counts as had, up to kept_by_the_heap.
class SessionMemory : public MemoryCheck {
public:
    static constexpr std::size_t kept_by_the_heap = std::size_t{256} << 10;

    SessionMemory();
    bool can_be_had(std::size_t address_space, std::size_t resident) const override;

private:
    std::size_t address_space_at_start_;
};
