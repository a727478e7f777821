#pragma once

#include <optional>
#include <string>
#include <string_view>

// The whole cores a control-group CPU quota (version 2, cpu.max) allows this
// process, rounded up: the smallest over its group and the groups above it.
// `membership` is the text of /proc/self/cgroup, `mount` where the cgroup
// file system is mounted. Empty where no quota is set or none can be read.
std::optional<unsigned> cores_allowed_by_cgroup(std::string_view membership, const std::string& mount);
