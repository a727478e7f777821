// system_specific.h on Linux with the GNU C library.

#include <algorithm>
#include <cmath>
#include <fstream>
#include <malloc.h>
#include <sched.h>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>

#include "platform/cgroup_quota.h"
#include "platform/system_specific.h"

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
    }
}

void give_back_free_memory() { ::malloc_trim(0); }

int stack_mapping_flags() { return MAP_STACK; }
