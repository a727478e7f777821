#include "platform/cgroup_quota.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>

namespace {

// "QUOTA PERIOD" in microseconds, or "max PERIOD" where there is no quota.
std::optional<unsigned> cores_in_cpu_max(const std::string& path)
{
    std::ifstream file(path);
    std::string quota;
    double period = 0;
    if (!(file >> quota >> period) || quota == "max" || period <= 0) {
        return std::nullopt;
    }
    char* end = nullptr;
    const double microseconds = std::strtod(quota.c_str(), &end);
    if (end == quota.c_str() || microseconds <= 0) {
        return std::nullopt;
    }
    return static_cast<unsigned>(std::max(1.0, std::ceil(microseconds / period)));
}

} // namespace

std::optional<unsigned> cores_allowed_by_cgroup(std::string_view membership, const std::string& mount)
{
    // Version 2 has one line, "0::/path/of/the/group".
    constexpr std::string_view unified = "0::";
    std::string group;
    for (std::size_t start = 0; start < membership.size();) {
        std::size_t end = membership.find('\n', start);
        if (end == std::string_view::npos) {
            end = membership.size();
        }
        const std::string_view line = membership.substr(start, end - start);
        if (line.starts_with(unified)) {
            group = std::string(line.substr(unified.size()));
        }
        start = end + 1;
    }
    if (group.empty() || group[0] != '/') {
        return std::nullopt;
    }
    std::optional<unsigned> allowed;
    for (;;) {
        const std::string folder = mount + (group == "/" ? "" : group);
        if (const std::optional<unsigned> here = cores_in_cpu_max(folder + "/cpu.max")) {
            allowed = allowed ? std::min(*allowed, *here) : *here;
        }
        if (group == "/") {
            return allowed;
        }
        group.erase(std::max<std::size_t>(group.rfind('/'), 1));
    }
}
