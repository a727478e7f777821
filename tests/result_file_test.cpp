#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "conversation_texts.h"
#include "dialogue/run_loop.h"
#include "engine/term_by_term_engine.h"
#include "output/result_file.h"
#include "platform/writes.h"
#include "test_helpers.h"

using namespace texts;
namespace fs = std::filesystem;

namespace {

// Each test works in a directory of its own, made its working directory.
class SavedResult : public ::testing::Test {
protected:
    void SetUp() override
    {
        previous_ = fs::current_path();
        directory_ = fs::temp_directory_path() / ("stormer-pi-save-" + std::to_string(::getpid()) + "-" +
                                                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(directory_);
        fs::create_directories(directory_);
        fs::current_path(directory_);
    }
    void TearDown() override
    {
        fs::current_path(previous_);
        fs::remove_all(directory_);
    }

    static std::string converse(const std::string& typed, const FileCalls& calls = system_file_calls())
    {
        MemorySource source(typed);
        StringSink sink;
        TermByTermEngine engine;
        const FrozenClock clock;
        const MemoryAsSaid memory;
        run_dialogue(source, sink, RunServices{engine, clock, memory, calls});
        return sink.text();
    }

    static std::string contents(const fs::path& file)
    {
        std::ifstream in(file, std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        return bytes.str();
    }

    static std::vector<std::string> files_here()
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(".")) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path previous_;
    fs::path directory_;
};

const std::string saved_12 = "The value of PI is:\r\n"
                             " 3.141592653590\r\n"
                             "Terms used = 8\r\n"
                             "Decimal places = 12\r\n"
                             "Time taken 0 days 0 hours 0 mins 0 secs\r\n"
                             "\r\n";

const std::string confirm_12 = "\nSaved 12 dps pi.text to disk...\n";

} // namespace

TEST_F(SavedResult, HoldsTheLayoutAndReportWithCrLf)
{
    EXPECT_EQ(converse("12\ny y\n"), opening + prompt + run_for_12 + confirm_12 + quit_question + quitting);
    EXPECT_EQ(contents("12 dps pi.text"), saved_12);
    EXPECT_EQ(files_here(), std::vector<std::string>{"12 dps pi.text"});
}

TEST_F(SavedResult, ALayoutEndingInALineFeedLeavesAnEmptyLine)
{
    converse("75\ny y\n");
    EXPECT_EQ(contents("75 dps pi.text"),
              "The value of PI is:\r\n"
              " 3.141592653589793238462643383279502884197169399375105820974944592307816406286\r\n"
              "\r\n"
              "Terms used = 42\r\n"
              "Decimal places = 75\r\n"
              "Time taken 0 days 0 hours 0 mins 0 secs\r\n"
              "\r\n");
}

TEST_F(SavedResult, IsNamedAfterTheReportedPlaces)
{
    const std::string console = converse("11\nyes y\n");
    EXPECT_EQ(console, opening + prompt + run_for_10 + "\nSaved 9 dps pi.text to disk...\n" + quit_question + quitting);
    EXPECT_EQ(files_here(), std::vector<std::string>{"9 dps pi.text"});
}

TEST_F(SavedResult, ALaterSaveReplacesTheEarlierFile)
{
    std::ofstream("12 dps pi.text") << "an older and much longer result that must not linger at the end of the file";
    converse("12\ny n 13\ny y\n");
    EXPECT_EQ(contents("12 dps pi.text"), saved_12);
    EXPECT_EQ(files_here(), std::vector<std::string>{"12 dps pi.text"});
}

TEST_F(SavedResult, AReplacedFileKeepsItsPermissions)
{
    std::ofstream("12 dps pi.text") << "earlier";
    fs::permissions("12 dps pi.text", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    converse("12\ny y\n");
    EXPECT_EQ(contents("12 dps pi.text"), saved_12);
    EXPECT_EQ(fs::status("12 dps pi.text").permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(SavedResult, ADirectoryInTheWayIsReportedAndTheConversationGoesOn)
{
    fs::create_directory("12 dps pi.text");
    std::ofstream("12 dps pi.text/kept") << "kept";
    EXPECT_EQ(converse("12\ny y\n"),
              opening + prompt + run_for_12 +
                  "\nCould not save 12 dps pi.text to disk (cannot replace it: Is a directory).\n" + quit_question +
                  quitting);
    EXPECT_EQ(contents("12 dps pi.text/kept"), "kept");
    EXPECT_EQ(files_here(), std::vector<std::string>{"12 dps pi.text"});
}

namespace {

FileCalls failing_after_first_write()
{
    FileCalls calls = system_file_calls();
    calls.write = [](int fd, const void* bytes, std::size_t count) -> ssize_t {
        static int writes = 0;
        if (++writes % 2 == 0) {
            errno = ENOSPC;
            return -1;
        }
        return ::write(fd, bytes, std::min<std::size_t>(count, 10));
    };
    return calls;
}

FileCalls failing_on_close()
{
    FileCalls calls = system_file_calls();
    calls.close = [](int fd) {
        ::close(fd);
        errno = EIO;
        return -1;
    };
    return calls;
}

} // namespace

TEST_F(SavedResult, FailedWritesAndClosesKeepTheEarlierFile)
{
    const std::string earlier = "an earlier result";
    for (const auto& [calls, reason] :
         {std::pair{failing_after_first_write(), std::string("writing failed: No space left on device")},
          std::pair{failing_on_close(), std::string("closing failed: Input/output error")}}) {
        std::ofstream("12 dps pi.text") << earlier;
        EXPECT_EQ(converse("12\ny y\n", calls), opening + prompt + run_for_12 +
                                                    "\nCould not save 12 dps pi.text to disk (" + reason + ").\n" +
                                                    quit_question + quitting);
        EXPECT_EQ(contents("12 dps pi.text"), earlier);
        EXPECT_EQ(files_here(), std::vector<std::string>{"12 dps pi.text"}) << "no temporary file is left";
    }
}

namespace {

void save_12(TextSink& console, const FileCalls& calls = system_file_calls())
{
    FinishedRun twelve{allocate_limb_number(5), 8, 12, {}};
    const std::vector<limb> limbs{3, 141, 592, 653, 590};
    std::copy(limbs.begin(), limbs.end(), twelve.result.span().begin());
    save_result(console, calls, twelve);
}

// Writes each piece of text straight to a descriptor.
class DescriptorSink : public TextSink {
public:
    explicit DescriptorSink(int fd) : fd_(fd) {}
    void write(std::string_view text) override { write_all(fd_, text, ::write); }

private:
    int fd_;
};

constexpr uid_t nobody = 65534;

// What `save` writes to the console, run in a child process; as another user
// than root when `unprivileged`. Also says how the child ended.
struct ChildSave {
    std::string console;
    int signal = 0;
};

ChildSave save_in_child(bool unprivileged, const std::function<void(TextSink&)>& save)
{
    int console_pipe[2];
    EXPECT_EQ(::pipe(console_pipe), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(console_pipe[0]);
        if (unprivileged && ::geteuid() == 0 && (::setgid(nobody) != 0 || ::setuid(nobody) != 0)) {
            ::_exit(127);
        }
        DescriptorSink console(console_pipe[1]);
        save(console);
        ::_exit(0);
    }
    ::close(console_pipe[1]);
    ChildSave result;
    char block[256];
    for (ssize_t count; (count = ::read(console_pipe[0], block, sizeof block)) > 0;) {
        result.console.append(block, static_cast<std::size_t>(count));
    }
    ::close(console_pipe[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return result;
}

} // namespace

TEST_F(SavedResult, AFileTheUserCannotWriteIsLeftAsItIs)
{
    std::ofstream("12 dps pi.text") << "protected";
    fs::permissions("12 dps pi.text", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    if (::geteuid() == 0) {
        // Root may write anything: the save runs as somebody else, in a
        // directory that user may write.
        ASSERT_EQ(::chown(".", nobody, nobody), 0);
        ASSERT_EQ(::chown("12 dps pi.text", nobody, nobody), 0);
    }
    const ChildSave save = save_in_child(true, [](TextSink& console) { save_12(console); });
    EXPECT_EQ(save.console, "\nCould not save 12 dps pi.text to disk (cannot replace it: Permission denied).\n");
    EXPECT_EQ(contents("12 dps pi.text"), "protected");
    EXPECT_EQ(files_here(), std::vector<std::string>{"12 dps pi.text"});
}

TEST_F(SavedResult, RootKeepsTheEarlierOwner)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root may give a file to somebody else";
    }
    std::ofstream("12 dps pi.text") << "earlier";
    ASSERT_EQ(::chown("12 dps pi.text", nobody, nobody), 0);
    StringSink console;
    save_12(console);
    EXPECT_EQ(console.text(), confirm_12);
    struct stat saved {};
    ASSERT_EQ(::stat("12 dps pi.text", &saved), 0);
    EXPECT_EQ(saved.st_uid, nobody);
    EXPECT_EQ(saved.st_gid, nobody);
    EXPECT_EQ(contents("12 dps pi.text"), saved_12);
}

TEST_F(SavedResult, TheConfirmationComesBeforeASignalThatArrivedDuringTheSave)
{
    const ChildSave save = save_in_child(false, [](TextSink& console) {
        FileCalls interrupted = system_file_calls();
        interrupted.write = [](int fd, const void* bytes, std::size_t count) {
            ::kill(::getpid(), SIGTERM);
            return ::write(fd, bytes, count);
        };
        save_12(console, interrupted);
    });
    EXPECT_EQ(save.signal, SIGTERM);
    EXPECT_EQ(save.console, confirm_12);
    EXPECT_EQ(contents("12 dps pi.text"), saved_12);
}

namespace {

// The same result saved earlier, in a run timed otherwise.
const std::string earlier_12 = "The value of PI is:\r\n"
                               " 3.141592653590\r\n"
                               "Terms used = 8\r\n"
                               "Decimal places = 12\r\n"
                               "Time taken 0 days 0 hours 1 mins 17 secs\r\n"
                               "\r\n";

// A directory the user may not write.
FileCalls refusing_new_files()
{
    FileCalls calls = system_file_calls();
    calls.open_unnamed = [](const char*) {
        errno = EACCES;
        return -1;
    };
    calls.open_new = calls.open_unnamed;
    return calls;
}

// Room for the earlier file, but not for a second copy.
FileCalls short_of_room_for_new_files()
{
    static int new_file = -1;
    FileCalls calls = system_file_calls();
    calls.open_unnamed = [](const char* directory) { return new_file = system_file_calls().open_unnamed(directory); };
    calls.open_new = [](const char* path) { return new_file = system_file_calls().open_new(path); };
    calls.write = [](int fd, const void* bytes, std::size_t count) -> ssize_t {
        if (fd == new_file) {
            errno = ENOSPC;
            return -1;
        }
        return ::write(fd, bytes, count);
    };
    calls.close = [](int fd) {
        new_file = fd == new_file ? -1 : new_file;
        return ::close(fd);
    };
    return calls;
}

// A sticky directory with the earlier file somebody else's.
FileCalls refusing_renames()
{
    FileCalls calls = system_file_calls();
    calls.rename = [](const char*, const char*) {
        errno = EPERM;
        return -1;
    };
    return calls;
}

} // namespace

TEST_F(SavedResult, WhereNoNewFileCanBeMadeTheSameResultIsRewrittenInPlace)
{
    for (const FileCalls& calls : {refusing_new_files(), short_of_room_for_new_files(), refusing_renames()}) {
        std::ofstream("12 dps pi.text", std::ios::binary) << earlier_12;
        StringSink console;
        save_12(console, calls);
        EXPECT_EQ(console.text(), confirm_12);
        EXPECT_EQ(contents("12 dps pi.text"), saved_12);
        EXPECT_EQ(files_here(), std::vector<std::string>{"12 dps pi.text"});
    }
}

TEST_F(SavedResult, ASaveKilledHalfWayLeavesOnlyTheEarlierFile)
{
    std::ofstream("12 dps pi.text") << "earlier";
    const ChildSave save = save_in_child(false, [](TextSink& console) {
        FileCalls killed = system_file_calls();
        killed.write = [](int fd, const void* bytes, std::size_t count) {
            const ssize_t written = ::write(fd, bytes, count / 2);
            ::kill(::getpid(), SIGKILL);
            return written;
        };
        save_12(console, killed);
    });
    EXPECT_EQ(save.signal, SIGKILL);
    EXPECT_EQ(contents("12 dps pi.text"), "earlier");
    EXPECT_EQ(files_here(), std::vector<std::string>{"12 dps pi.text"});
}

namespace {

// The number of a process that has come and gone.
pid_t a_process_gone()
{
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(0);
    }
    ::waitpid(child, nullptr, 0);
    return child;
}

// Holds a save's lock on the file from another process until released.
class LockHeldElsewhere {
public:
    explicit LockHeldElsewhere(const std::string& file)
    {
        int ready[2];
        EXPECT_TRUE(::pipe(ready) == 0 && ::pipe(release_) == 0);
        holder_ = ::fork();
        if (holder_ == 0) {
            struct flock lock {};
            lock.l_type = F_WRLCK;
            lock.l_whence = SEEK_SET;
            const int fd = ::open(file.c_str(), O_WRONLY);
            const char held = fd >= 0 && ::fcntl(fd, F_SETLK, &lock) == 0 ? 'y' : 'n';
            [[maybe_unused]] const ssize_t said = ::write(ready[1], &held, 1);
            ::close(release_[1]);
            char until_released;
            [[maybe_unused]] const ssize_t released = ::read(release_[0], &until_released, 1);
            ::_exit(0);
        }
        ::close(ready[1]);
        char held = 'n';
        EXPECT_EQ(::read(ready[0], &held, 1), 1);
        EXPECT_EQ(held, 'y');
        ::close(ready[0]);
    }
    ~LockHeldElsewhere()
    {
        ::close(release_[1]);
        ::waitpid(holder_, nullptr, 0);
    }

private:
    int release_[2]{};
    pid_t holder_ = -1;
};

} // namespace

// What killed saves left under a temporary name goes at the next save of
// that name, and nothing else: not a file whose save still runs here, or
// still holds its lock (from another container, say), not another name's,
// not a name no save makes. A file that cannot be removed is said.
TEST_F(SavedResult, ASaveRemovesOnlyWhatKilledSavesOfItsNameLeftBehind)
{
    const std::string gone = std::to_string(a_process_gone());
    const std::string left_behind = "12 dps pi.text." + gone + "-0.saving";
    const std::string still_locked = "12 dps pi.text." + gone + "-1.saving";
    std::vector<std::string> kept{"12 dps pi.text",
                                  "12 dps pi.text." + std::to_string(::getpid()) + "-0.saving",
                                  still_locked,
                                  "13 dps pi.text." + gone + "-0.saving",
                                  "12 dps pi.text.0" + gone + "-0.saving",
                                  "12 dps pi.text." + gone + "-100.saving",
                                  "12 dps pi.text." + gone + "-0.saving~",
                                  "12 dps pi.text." + gone + ".saving"};
    for (const std::string& file : kept) {
        std::ofstream(file) << "part of a result";
    }
    std::ofstream(left_behind) << "part of a result";
    const LockHeldElsewhere lock(still_locked);

    FileCalls refusing_removal = system_file_calls();
    refusing_removal.unlink = [](const char*) {
        errno = EPERM;
        return -1;
    };
    StringSink refused;
    save_12(refused, refusing_removal);
    EXPECT_EQ(refused.text(), "\nCould not remove " + left_behind +
                                  ", left behind by an earlier save (Operation not permitted).\n" + confirm_12);
    EXPECT_TRUE(fs::exists(left_behind));

    StringSink console;
    save_12(console);
    EXPECT_EQ(console.text(), confirm_12);
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(files_here(), kept);
    EXPECT_EQ(contents("12 dps pi.text"), saved_12);
}
