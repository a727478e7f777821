#include "platform/control_groups.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <map>

namespace {

std::vector<std::string_view> split(std::string_view text, char separator)
{
    std::vector<std::string_view> pieces;
    for (std::size_t start = 0; start <= text.size();) {
        std::size_t end = text.find(separator, start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

bool is_octal(char c) { return c >= '0' && c <= '7'; }

// mountinfo writes a space in a path as \040, and so on.
std::string unescaped(std::string_view path)
{
    std::string plain;
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (path[i] == '\\' && i + 3 < path.size() && is_octal(path[i + 1]) && is_octal(path[i + 2]) &&
            is_octal(path[i + 3])) {
            plain.push_back(
                static_cast<char>((path[i + 1] - '0') * 64 + (path[i + 2] - '0') * 8 + (path[i + 3] - '0')));
            i += 3;
        } else {
            plain.push_back(path[i]);
        }
    }
    return plain;
}

struct Mount {
    std::string root;  // the folder of the hierarchy mounted here
    std::string point; // where
    bool unified = false;
    std::vector<std::string_view> options; // version 1: its controllers among them
};

// "ID PARENT MAJOR:MINOR ROOT POINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPER-OPTIONS"
std::optional<Mount> cgroup_mount(std::string_view line)
{
    const std::vector<std::string_view> fields = split(line, ' ');
    const auto dash = std::find(fields.begin(), fields.end(), "-");
    if (fields.size() < 5 || fields.end() - dash < 4) {
        return std::nullopt;
    }
    const std::string_view type = dash[1];
    if (type != "cgroup" && type != "cgroup2") {
        return std::nullopt;
    }
    return Mount{unescaped(fields[3]), unescaped(fields[4]), type == "cgroup2", split(dash[3], ',')};
}

// Whether a line of /proc/self/cgroup, split at its colons, names a group of
// the hierarchy at that mount.
bool is_of(const std::vector<std::string_view>& membership, const Mount& mount)
{
    if (mount.unified) {
        return membership[0] == "0" && membership[1].empty();
    }
    if (membership[1].empty()) {
        return false;
    }
    for (const std::string_view controller : split(membership[1], ',')) {
        if (std::find(mount.options.begin(), mount.options.end(), controller) == mount.options.end()) {
            return false;
        }
    }
    return true;
}

// The group's folder and those above it, up to the mount's own.
void add_folders_up(const Mount& mount, std::string_view group, std::vector<std::string>& folders)
{
    const std::string_view root = mount.root == "/" ? "" : std::string_view(mount.root);
    if (!group.starts_with(root) || (group.size() > root.size() && group[root.size()] != '/')) {
        return; // not in the part of the hierarchy mounted here
    }
    std::string below = std::string(group.substr(root.size()));
    while (!below.empty() && below != "/") {
        folders.push_back(mount.point + below);
        below.erase(below.rfind('/'));
    }
    folders.push_back(mount.point);
}

std::optional<std::string> first_word(const std::string& path)
{
    std::ifstream file(path);
    std::string word;
    if (!(file >> word)) {
        return std::nullopt;
    }
    return word;
}

// A whole number of bytes or microseconds; empty for "max", "-1" and the like.
std::optional<std::uint64_t> number(const std::optional<std::string>& word)
{
    std::uint64_t value = 0;
    if (!word || std::from_chars(word->data(), word->data() + word->size(), value).ec != std::errc()) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::uint64_t> number_in(const std::string& path) { return number(first_word(path)); }

// "QUOTA PERIOD", or "max PERIOD" where there is no quota.
std::optional<std::uint64_t> cores_in_cpu_max(const std::string& path)
{
    std::ifstream file(path);
    std::string quota;
    std::string period;
    if (!(file >> quota >> period)) {
        return std::nullopt;
    }
    const std::optional<std::uint64_t> microseconds = number(quota);
    const std::optional<std::uint64_t> each = number(period);
    if (!microseconds || !each || *microseconds == 0 || *each == 0) {
        return std::nullopt;
    }
    return (*microseconds + *each - 1) / *each;
}

// Version 1: a quota of -1 is none.
std::optional<std::uint64_t> cores_in_cfs_quota(const std::string& folder)
{
    const std::optional<std::uint64_t> quota = number_in(folder + "/cpu.cfs_quota_us");
    const std::optional<std::uint64_t> period = number_in(folder + "/cpu.cfs_period_us");
    if (!quota || !period || *quota == 0 || *period == 0) {
        return std::nullopt;
    }
    return (*quota + *period - 1) / *period;
}

void keep_smaller(std::optional<std::uint64_t>& tightest, std::optional<std::uint64_t> here)
{
    if (here) {
        tightest = tightest ? std::min(*tightest, *here) : *here;
    }
}

// The figures of a group's memory.stat, by name.
std::map<std::string, std::uint64_t, std::less<>> memory_stat(const std::string& folder)
{
    std::map<std::string, std::uint64_t, std::less<>> figures;
    std::ifstream stat(folder + "/memory.stat");
    std::string key;
    std::string value;
    while (stat >> key >> value) {
        if (const std::optional<std::uint64_t> bytes = number(value)) {
            figures.emplace(key, *bytes);
        }
    }
    return figures;
}

// The first of those figures that is there; version 1 names the group's own
// pages plainly and those of the group with its descendants as total_*,
// version 2 by other names again.
std::uint64_t figure(const std::map<std::string, std::uint64_t, std::less<>>& stat,
                     std::initializer_list<std::string_view> names)
{
    for (const std::string_view name : names) {
        if (const auto found = stat.find(name); found != stat.end()) {
            return found->second;
        }
    }
    return 0;
}

// Cached pages of files that no process maps and that are written out: the
// kernel takes them back before the group runs short, as it does a saved
// result's. Those of files in memory (tmpfs) are on other lists, and count
// as used.
std::uint64_t reclaimable_bytes(const std::string& folder)
{
    const auto stat = memory_stat(folder);
    const std::uint64_t cached =
        figure(stat, {"total_active_file", "active_file"}) + figure(stat, {"total_inactive_file", "inactive_file"});
    const std::uint64_t held = figure(stat, {"total_mapped_file", "mapped_file", "file_mapped"}) +
                               figure(stat, {"total_dirty", "dirty", "file_dirty"}) +
                               figure(stat, {"total_writeback", "writeback", "file_writeback"});
    return cached > held ? cached - held : 0;
}

std::optional<std::uint64_t> memory_left_in(const std::string& folder)
{
    const std::uint64_t reclaimable = reclaimable_bytes(folder);
    const auto left = [&](const char* limit_file, const char* usage_file) -> std::optional<std::uint64_t> {
        const std::optional<std::uint64_t> limit = number_in(folder + "/" + limit_file);
        const std::optional<std::uint64_t> usage = number_in(folder + "/" + usage_file);
        if (!limit || !usage) {
            return std::nullopt;
        }
        const std::uint64_t used = *usage > reclaimable ? *usage - reclaimable : 0;
        return *limit > used ? *limit - used : 0;
    };
    std::optional<std::uint64_t> tightest;
    keep_smaller(tightest, left("memory.max", "memory.current"));
    keep_smaller(tightest, left("memory.high", "memory.current"));
    keep_smaller(tightest, left("memory.limit_in_bytes", "memory.usage_in_bytes"));
    keep_smaller(tightest, left("memory.memsw.limit_in_bytes", "memory.memsw.usage_in_bytes"));
    return tightest;
}

} // namespace

std::vector<std::string> control_group_folders(std::string_view membership, std::string_view mounts,
                                               std::string_view controller)
{
    std::vector<Mount> cgroup_mounts;
    for (const std::string_view line : split(mounts, '\n')) {
        std::optional<Mount> mount = cgroup_mount(line);
        if (mount && (mount->unified ||
                      std::find(mount->options.begin(), mount->options.end(), controller) != mount->options.end())) {
            cgroup_mounts.push_back(std::move(*mount));
        }
    }
    std::vector<std::string> folders;
    for (const std::string_view line : split(membership, '\n')) {
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
        if (second == std::string_view::npos) {
            continue;
        }
        const std::vector<std::string_view> fields{line.substr(0, first), line.substr(first + 1, second - first - 1)};
        const std::string_view group = line.substr(second + 1);
        const auto mount =
            std::find_if(cgroup_mounts.begin(), cgroup_mounts.end(), [&](const Mount& m) { return is_of(fields, m); });
        if (mount != cgroup_mounts.end() && group.starts_with('/')) {
            add_folders_up(*mount, group, folders);
        }
    }
    return folders;
}

std::optional<unsigned> cores_allowed_by_groups(const std::vector<std::string>& folders)
{
    std::optional<std::uint64_t> tightest;
    for (const std::string& folder : folders) {
        keep_smaller(tightest, cores_in_cpu_max(folder + "/cpu.max"));
        keep_smaller(tightest, cores_in_cfs_quota(folder));
    }
    if (!tightest) {
        return std::nullopt;
    }
    return static_cast<unsigned>(std::min<std::uint64_t>(*tightest, UINT32_MAX));
}

std::optional<std::size_t> memory_left_in_groups(const std::vector<std::string>& folders)
{
    std::optional<std::uint64_t> tightest;
    for (const std::string& folder : folders) {
        keep_smaller(tightest, memory_left_in(folder));
    }
    if (!tightest) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(std::min<std::uint64_t>(*tightest, SIZE_MAX));
}
