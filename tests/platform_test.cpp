#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "platform/cgroup_quota.h"

namespace fs = std::filesystem;

// A quota set on a group above this process's counts, rounded up to whole
// cores; the tightest one wins; "max" is no quota at all.
TEST(CgroupQuota, TheTightestQuotaAboveTheProcessCountsInWholeCores)
{
    const fs::path mount = fs::temp_directory_path() / ("stormer-pi-cgroup-" + std::to_string(::getpid()));
    fs::create_directories(mount / "box/inner");
    const auto write = [](const fs::path& file, const char* text) { std::ofstream(file) << text; };
    write(mount / "box/inner/cpu.max", "max 100000\n");
    const std::string membership = "0::/box/inner\n";
    EXPECT_EQ(cores_allowed_by_cgroup(membership, mount.string()), std::nullopt);

    write(mount / "box/cpu.max", "350000 100000\n");
    EXPECT_EQ(cores_allowed_by_cgroup(membership, mount.string()), 4U);
    write(mount / "box/inner/cpu.max", "150000 100000\n");
    EXPECT_EQ(cores_allowed_by_cgroup(membership, mount.string()), 2U);
    write(mount / "box/inner/cpu.max", "5000 100000\n");
    EXPECT_EQ(cores_allowed_by_cgroup(membership, mount.string()), 1U);

    // Version 1 hierarchies only: nothing to read.
    EXPECT_EQ(cores_allowed_by_cgroup("4:cpu,cpuacct:/box/inner\n", mount.string()), std::nullopt);
    fs::remove_all(mount);
}
