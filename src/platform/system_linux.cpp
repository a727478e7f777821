// The system-specific calls of the platform's topics (threads.h, memory.h,
// files.h) on Linux with the GNU C library.

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <fcntl.h>
#include <fstream>
#include <malloc.h>
#include <sched.h>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <ucontext.h>
#include <unistd.h>
#include <vector>

#include "platform/control_groups.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/threads.h"

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

std::vector<std::string> own_control_group_folders(std::string_view controller)
{
    return control_group_folders(whole_file("/proc/self/cgroup"), whole_file("/proc/self/mountinfo"), controller);
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

// Threads.

unsigned usable_cores()
{
    const unsigned cores = cores_in_affinity();
    const std::optional<unsigned> quota = cores_allowed_by_groups(own_control_group_folders("cpu"));
    return quota ? std::clamp(*quota, 1U, cores) : cores;
}

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

// Memory.

std::optional<std::size_t> memory_left_in_control_groups()
{
    return memory_left_in_groups(own_control_group_folders("memory"));
}

// Read without the heap, which it measures.
std::size_t address_space_in_use()
{
    std::array<char, 64> text{};
    const int fd = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    const ssize_t count = fd < 0 ? -1 : ::read(fd, text.data(), text.size() - 1);
    if (fd >= 0) {
        ::close(fd);
    }
    std::size_t pages = 0;
    std::from_chars(text.data(), text.data() + std::max<ssize_t>(count, 0), pages);
    return pages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// malloc_trim leaves what lies free at the top of a thread's own heap (some
// 12 MiB after a run at the largest size on two threads, measured in a memory
// group); with one heap for all, it gives back all there is. Sharing one
// costs the threads a few per cent of their time (measured: 3 % more CPU,
// 6 % more wall time at the largest size), which only a limit calls for.
void choose_heaps_for_threads()
{
    const auto limited = [](int resource) {
        rlimit limit{};
        return ::getrlimit(resource, &limit) != 0 || limit.rlim_cur != RLIM_INFINITY;
    };
    const bool address_space_limited = limited(RLIMIT_AS) || limited(RLIMIT_DATA);
    const std::optional<std::size_t> left_in_groups = memory_left_in_control_groups();
    const auto physical_memory =
        static_cast<std::size_t>(::sysconf(_SC_PHYS_PAGES)) * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    if (address_space_limited || (left_in_groups && *left_in_groups < physical_memory)) {
        ::mallopt(M_ARENA_MAX, 1);
    }
    if (address_space_limited) {
        // Left to itself, the allocator raises this threshold as large
        // blocks are freed: the next run's large blocks then come from the
        // heap, padded, and its memory check finds less address space left
        // than the first run's did. Set, it stays where it is.
        ::mallopt(M_MMAP_THRESHOLD, 128 << 10);
    }
}

void give_back_free_memory() { ::malloc_trim(0); }

// Files.

// Such a file is named through /proc/self/fd (naming it by its descriptor
// alone takes a privilege): without /proc, a named file has to do.
int open_unnamed_file(const char* directory)
{
    if (::access("/proc/self/fd", F_OK) != 0) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return ::open(directory, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
}

int link_unnamed_file(int fd, const char* path)
{
    const std::string by_descriptor = "/proc/self/fd/" + std::to_string(fd);
    return ::linkat(AT_FDCWD, by_descriptor.c_str(), AT_FDCWD, path, AT_SYMLINK_FOLLOW);
}
