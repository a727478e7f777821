#pragma once

// The memory a run may have, and the heap it takes it from.

#include <cstddef>
#include <optional>

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
// first would get. What earlier runs freed goes back to the system before
// each check, so that neither the address space nor the pages they used are
// still counted as taken. A run leaves the heap a little larger than it found
// it all the same: small blocks the C library keeps for each thread, for the
// next run to take again. So what the process's address space has grown
// since the session began counts as had, up to kept_by_the_heap.
class SessionMemory : public MemoryCheck {
public:
    static constexpr std::size_t kept_by_the_heap = std::size_t{256} << 10;

    SessionMemory();
    bool can_be_had(std::size_t address_space, std::size_t resident) const override;

private:
    std::size_t address_space_at_start_;
};

// What the system says of memory, and the heap's policy (system-specific:
// system_linux.cpp, system_portable.cpp).

// The memory this process may still take before a memory limit set on its
// control groups is reached; empty where none is set (or the system has no
// such limits).
std::optional<std::size_t> memory_left_in_control_groups();

// The address space the process has mapped, in bytes; 0 where the system
// does not say.
std::size_t address_space_in_use();

// A heap of its own for each thread spares the threads a shared lock, but
// the C library keeps such a heap for good, with its address space reserved,
// and gives back none of the memory freed at its top, which a later run's
// memory check would find taken. So under a limit, on address space or on a
// control group's memory, every thread allocates from the one heap; under a
// limit on address space every large block is also mapped on its own and
// given back whole, so that the memory check can foresee what a run needs,
// the first or any later one. Chosen once, at the start of the program.
void choose_heaps_for_threads();

// Returns the heap's free memory to the system, so that the memory a run
// used, its address space and its pages, is there again for the next.
void give_back_free_memory();
