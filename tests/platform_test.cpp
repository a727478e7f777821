#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <grp.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "platform/console.h"
#include "platform/control_groups.h"
#include "platform/threads.h"
#include "test_helpers.h"

namespace fs = std::filesystem;

namespace {

// A control-group tree of files in a folder of its own, mounted as the lines
// of a mountinfo say.
class FakeGroups : public ::testing::Test {
protected:
    void SetUp() override
    {
        top_ = fs::temp_directory_path() / ("stormer-pi-cgroup-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(top_);
    }
    void TearDown() override { fs::remove_all(top_); }

    void write(const fs::path& file, const std::string& text) const
    {
        fs::create_directories((top_ / file).parent_path());
        std::ofstream(top_ / file) << text;
    }
    // A mountinfo line for a hierarchy whose folder `root` is mounted at `point` under the tree.
    std::string mount(const std::string& root, const std::string& point, const std::string& type_and_options) const
    {
        return "41 31 0:38 " + root + " " + (top_ / point).string() + " rw,relatime - " + type_and_options + "\n";
    }

    fs::path top_;
};

} // namespace

// A quota set on a group above this process's counts, rounded up to whole
// cores; the tightest one wins; "max" is no quota at all.
TEST_F(FakeGroups, TheTightestQuotaAboveTheProcessCountsInWholeCores)
{
    const std::string mounts = mount("/", "unified", "cgroup2 cgroup2 rw");
    const auto cores = [&](const std::string& membership) {
        return cores_allowed_by_groups(control_group_folders(membership, mounts, "cpu"));
    };
    write("unified/box/inner/cpu.max", "max 100000\n");
    const std::string membership = "0::/box/inner\n";
    EXPECT_EQ(cores(membership), std::nullopt);

    write("unified/box/cpu.max", "350000 100000\n");
    EXPECT_EQ(cores(membership), 4U);
    write("unified/box/inner/cpu.max", "150000 100000\n");
    EXPECT_EQ(cores(membership), 2U);
    write("unified/box/inner/cpu.max", "5000 100000\n");
    EXPECT_EQ(cores(membership), 1U);

    // A version 1 hierarchy that is not mounted: nothing to read.
    EXPECT_EQ(cores("4:cpu,cpuacct:/box/inner\n"), std::nullopt);
}

// Version 1 quotas count as version 2's do, over both kinds of hierarchy;
// one mounted from a folder below its top (as a container sees it) is read
// from that folder up.
TEST_F(FakeGroups, VersionOneQuotasCountToo)
{
    const std::string mounts =
        mount("/docker/box", "cpu", "cgroup cgroup rw,cpu,cpuacct") + mount("/", "unified", "cgroup2 cgroup2 rw");
    const std::string membership = "4:cpu,cpuacct:/docker/box/inner\n0::/box/inner\n";
    const auto cores = [&] { return cores_allowed_by_groups(control_group_folders(membership, mounts, "cpu")); };
    write("cpu/inner/cpu.cfs_quota_us", "-1\n");
    write("cpu/inner/cpu.cfs_period_us", "100000\n");
    EXPECT_EQ(cores(), std::nullopt);
    write("cpu/cpu.cfs_quota_us", "250000\n");
    write("cpu/cpu.cfs_period_us", "100000\n");
    EXPECT_EQ(cores(), 3U);
    write("unified/cpu.max", "150000 100000\n");
    EXPECT_EQ(cores(), 2U);
}

// The memory left is each limit less its group's use, cached file pages not
// used lately not counted as used; the tightest limit over both versions and
// every group above wins; a version 1 group's "no limit" is only a very
// large one.
TEST_F(FakeGroups, TheMemoryLeftIsTheTightestLimitLessWhatItsGroupUses)
{
    constexpr std::size_t mib = std::size_t{1} << 20;
    const std::string mounts =
        mount("/", "memory", "cgroup cgroup rw,memory") + mount("/", "unified", "cgroup2 cgroup2 rw");
    const std::string membership = "5:memory:/box/inner\n0::/box/inner\n";
    const auto left = [&] { return memory_left_in_groups(control_group_folders(membership, mounts, "memory")); };
    const auto bytes = [](std::size_t count) { return std::to_string(count) + "\n"; };
    write("memory/box/inner/memory.limit_in_bytes", "9223372036854771712\n");
    write("memory/box/inner/memory.usage_in_bytes", bytes(10 * mib));
    write("unified/box/inner/memory.max", "max\n");
    write("unified/box/inner/memory.current", bytes(10 * mib));
    EXPECT_GT(left(), 1U << 30);

    write("unified/box/memory.max", bytes(64 * mib));
    write("unified/box/memory.current", bytes(40 * mib));
    write("unified/box/memory.stat", "anon 20000\ninactive_file " + bytes(8 * mib));
    EXPECT_EQ(left(), 32 * mib);
    write("unified/box/inner/memory.high", bytes(30 * mib));
    EXPECT_EQ(left(), 20 * mib);

    write("memory/box/memory.limit_in_bytes", bytes(40 * mib));
    write("memory/box/memory.usage_in_bytes", bytes(30 * mib));
    write("memory/box/memory.stat", "inactive_file 0\ntotal_inactive_file " + bytes(6 * mib));
    EXPECT_EQ(left(), 16 * mib);
    write("memory/box/memory.memsw.limit_in_bytes", bytes(36 * mib));
    write("memory/box/memory.memsw.usage_in_bytes", bytes(30 * mib));
    EXPECT_EQ(left(), 12 * mib);
    write("memory/box/memory.usage_in_bytes", bytes(50 * mib));
    EXPECT_EQ(left(), 0U);
}

// Cached pages of files that no process maps and that are written out (a
// saved result's, say) count as left, whether the kernel keeps them as used
// lately or not; those mapped, dirty or under writeback count as used.
TEST_F(FakeGroups, PageCacheTheKernelCanTakeBackCountsAsLeft)
{
    constexpr std::size_t mib = std::size_t{1} << 20;
    const auto bytes = [](std::size_t count) { return std::to_string(count) + "\n"; };
    const std::string membership = "5:memory:/box\n0::/box\n";
    const auto left = [&](const std::string& mounts) {
        return memory_left_in_groups(control_group_folders(membership, mounts, "memory"));
    };

    write("unified/box/memory.max", bytes(64 * mib));
    write("unified/box/memory.current", bytes(40 * mib));
    write("unified/box/memory.stat", "anon " + bytes(20 * mib) + "file " + bytes(12 * mib) + "active_file " +
                                         bytes(7 * mib) + "inactive_file " + bytes(3 * mib) + "file_mapped " +
                                         bytes(2 * mib) + "file_dirty " + bytes(mib) + "file_writeback " + bytes(mib));
    EXPECT_EQ(left(mount("/", "unified", "cgroup2 cgroup2 rw")), 30 * mib);

    write("memory/box/memory.limit_in_bytes", bytes(64 * mib));
    write("memory/box/memory.usage_in_bytes", bytes(40 * mib));
    write("memory/box/memory.stat", "cache " + bytes(mib) + "active_file " + bytes(mib) + "total_cache " +
                                        bytes(12 * mib) + "total_mapped_file " + bytes(2 * mib) + "total_dirty " +
                                        bytes(mib) + "total_writeback 0\ntotal_inactive_file " + bytes(3 * mib) +
                                        "total_active_file " + bytes(7 * mib));
    EXPECT_EQ(left(mount("/", "memory", "cgroup cgroup rw,memory")), 31 * mib);
}

// Standard output that cannot be written ends the process there and then,
// with status 2: nothing it would do after could reach its user.
TEST(StandardOutputFailure, EndsTheProcessAtOnceWithStatusTwo)
{
    int output[2];
    int errors[2];
    ASSERT_TRUE(::pipe(output) == 0 && ::pipe(errors) == 0);
    ::close(output[0]); // nobody to read
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(output[1], STDOUT_FILENO);
        ::dup2(errors[1], STDERR_FILENO);
        std::signal(SIGPIPE, SIG_IGN);
        StandardOutput out;
        out.write(std::string(5000, 'x'));
        ::_exit(0);
    }
    ::close(output[1]);
    ::close(errors[1]);
    const std::string said = read_all(errors[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2);
    EXPECT_EQ(said, "stormer-pi: cannot write to standard output: Broken pipe\n");
}

// Where no thread can be had, the calling thread does the tasks, and what it
// does while waiting comes between them, as it does while threads work.
TEST(RunTasks, WithNoThreadToBeHadTheWaitingWorkComesBetweenTasks)
{
    const pid_t child = ::fork();
    if (child == 0) {
        // Root's processes are not counted against the limit on processes.
        if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            ::_exit(126);
        }
        const rlimit one{1, 1};
        ::setrlimit(RLIMIT_NPROC, &one);
        std::string order;
        const std::vector<std::function<void()>> tasks(3, [&order] { order += 't'; });
        const bool ran = run_tasks(
            tasks, 2, 256 << 10, [&order] { order += 'w'; }, std::chrono::milliseconds(1));
        ::_exit(ran && order == "twtwtw" ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 126) {
        GTEST_SKIP() << "user 65534 cannot be had";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
