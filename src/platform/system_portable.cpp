// The system-specific calls of the platform's topics (threads.h, memory.h,
// files.h) as any POSIX system can make them.

#include <cerrno>
#include <sys/mman.h>
#include <unistd.h>

#include "platform/files.h"
#include "platform/memory.h"
#include "platform/threads.h"

// Threads.

unsigned usable_cores()
{
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<unsigned>(online) : 1;
}

int stack_mapping_flags() { return 0; }

// The work runs on the caller's stack: a stack limit set small can still cut
// it short here.
void run_on_stack(void*, std::size_t, void (*work)(void*), void* argument) { work(argument); }

// Memory.

// No control groups here.
std::optional<std::size_t> memory_left_in_control_groups() { return std::nullopt; }

// Not known here: a later run's memory check cannot allow for what earlier
// runs left in the heap.
std::size_t address_space_in_use() { return 0; }

// The system's allocator decides; nothing to choose.
void choose_heaps_for_threads() {}

// The system's allocator gives memory back as it sees fit.
void give_back_free_memory() {}

// Files.

// Only named temporary files here.
int open_unnamed_file(const char*)
{
    errno = EOPNOTSUPP;
    return -1;
}

int link_unnamed_file(int, const char*)
{
    errno = EOPNOTSUPP;
    return -1;
}
