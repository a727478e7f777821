// beyond_posix.h on Linux with the GNU C library.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <malloc.h>
#include <sched.h>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <ucontext.h>

#include "platform/beyond_posix.h"
#include "platform/cgroup_quota.h"

namespace {

unsigned cores_in_affinity()
{
    cpu_set_t cores;
    if (::sched_getaffinity(0, sizeof cores, &cores) != 0) {
        return 1;
    }
    const int count = CPU_COUNT(&cores);
    return count > 0 ? static_cast<unsigned>(count) : 1;
}

std::string whole_file(const std::string& path)
{
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

struct SwitchedCall {
    void (*work)(void*);
    void* argument;
};

// makecontext passes only ints: the call comes in two halves.
extern "C" void call_on_switched_stack(unsigned high, unsigned low)
{
    const auto* call = reinterpret_cast<const SwitchedCall*>((std::uintptr_t{high} << 32) | low);
    call->work(call->argument);
}

} // namespace

unsigned usable_cores()
{
    const unsigned cores = cores_in_affinity();
    const std::optional<unsigned> quota = cores_allowed_by_cgroup(whole_file("/proc/self/cgroup"), "/sys/fs/cgroup");
    return quota ? std::min(cores, *quota) : cores;
}

void choose_heaps_for_threads()
{
    const auto limited = [](int resource) {
        rlimit limit{};
        return ::getrlimit(resource, &limit) != 0 || limit.rlim_cur != RLIM_INFINITY;
    };
    if (limited(RLIMIT_AS) || limited(RLIMIT_DATA)) {
        ::mallopt(M_ARENA_MAX, 1);
        // Left to itself, the allocator raises this threshold as large
        // blocks are freed: the next run's large blocks then come from the
        // heap, padded, and its memory check finds less address space left
        // than the first run's did. Set, it stays where it is.
        ::mallopt(M_MMAP_THRESHOLD, 128 << 10);
    }
}

void give_back_free_memory() { ::malloc_trim(0); }

int stack_mapping_flags() { return MAP_STACK; }

void run_on_stack(void* bottom, std::size_t bytes, void (*work)(void*), void* argument)
{
    SwitchedCall call{work, argument};
    const auto address = reinterpret_cast<std::uintptr_t>(&call);
    ucontext_t caller{};
    ucontext_t switched{};
    if (::getcontext(&switched) != 0) {
        work(argument);
        return;
    }
    switched.uc_stack.ss_sp = bottom;
    switched.uc_stack.ss_size = bytes;
    switched.uc_link = &caller;
    ::makecontext(&switched, reinterpret_cast<void (*)()>(call_on_switched_stack), 2,
                  static_cast<unsigned>(address >> 32), static_cast<unsigned>(address & 0xffffffffU));
    if (::swapcontext(&caller, &switched) != 0) {
        work(argument);
    }
}
