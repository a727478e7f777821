#pragma once

// The control groups this process is in, as Linux shows them: /proc/self/cgroup
// (`membership`) names its group in each hierarchy, "0::/path" in version 2 and
// "N:controllers:/path" in each of version 1, and /proc/self/mountinfo
// (`mounts`) says where each hierarchy is mounted. A limit set on a group
// binds every process below it, so the readers look at the process's own
// group and at every group above it that is mounted, and the tightest limit
// wins. A file that is not there sets no limit.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The folders of this process's groups and of the groups above them, as far
// up as each hierarchy is mounted: in version 2's, and in those of version 1
// that hold the controller ("cpu", "memory").
std::vector<std::string> control_group_folders(std::string_view membership, std::string_view mounts,
                                               std::string_view controller);

// The whole cores the CPU quotas in those folders allow, rounded up (version
// 2's cpu.max, version 1's cpu.cfs_quota_us over cpu.cfs_period_us); empty
// where no quota is set.
std::optional<unsigned> cores_allowed_by_groups(const std::vector<std::string>& folders);

// The memory the limits in those folders leave: each limit less what its group
// uses (version 2's memory.max and memory.high against memory.current, version
// 1's memory.limit_in_bytes against memory.usage_in_bytes and
// memory.memsw.limit_in_bytes against memory.memsw.usage_in_bytes). Cached
// pages of files that no process maps and that are written out (memory.stat's
// active and inactive file pages less those mapped, dirty or under
// writeback) do not count as used: the kernel takes them back before a group
// runs short. Empty where no limit is set.
std::optional<std::size_t> memory_left_in_groups(const std::vector<std::string>& folders);
