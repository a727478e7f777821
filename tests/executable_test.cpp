// The built program run as a user runs it: through pipes, and on a terminal.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <grp.h>
#include <map>
#include <optional>
#include <poll.h>
#include <pty.h>
#include <set>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

#include "conversation_texts.h"
#include "sanitizer.h"
#include "test_helpers.h"

using namespace texts;
namespace fs = std::filesystem;

namespace {

struct ProgramRun {
    std::string output;
    std::string errors;
    int status = -1; // the exit status, or -1 when a signal ended it
};

fs::path fresh_directory(const std::string& name)
{
    const fs::path directory = fs::temp_directory_path() / ("stormer-pi-" + name + "-" + std::to_string(::getpid()));
    fs::remove_all(directory);
    fs::create_directories(directory);
    return directory;
}

// The real clock may tick over a second while a small run is timed: such a
// report says 1 secs where the expected texts say 0.
std::string tolerating_a_clock_tick(std::string output)
{
    const std::string ticked = "Time taken: 0 days 0 hours 0 mins 1 secs\n";
    for (std::size_t at = output.find(ticked); at != std::string::npos; at = output.find(ticked, at)) {
        output[at + ticked.size() - 7] = '0';
    }
    return output;
}

void limit(int resource, rlim_t value)
{
    const rlimit limit{value, value};
    if (::setrlimit(resource, &limit) != 0) {
        ::_exit(127);
    }
}

// The program started in a directory with pipes on its standard streams;
// `prepare` runs in the child just before the program starts.
struct LiveProgram {
    pid_t pid = -1;
    int input = -1;
    int output = -1;
    int errors = -1;

    LiveProgram(const fs::path& directory, const std::function<void()>& prepare = {})
    {
        int input_pipe[2];
        int output_pipe[2];
        int error_pipe[2];
        EXPECT_EQ(::pipe(input_pipe), 0);
        EXPECT_EQ(::pipe(output_pipe), 0);
        EXPECT_EQ(::pipe(error_pipe), 0);
        pid = ::fork();
        if (pid == 0) {
            ::dup2(input_pipe[0], STDIN_FILENO);
            ::dup2(output_pipe[1], STDOUT_FILENO);
            ::dup2(error_pipe[1], STDERR_FILENO);
            for (const int fd :
                 {input_pipe[0], input_pipe[1], output_pipe[0], output_pipe[1], error_pipe[0], error_pipe[1]}) {
                ::close(fd);
            }
            if (::chdir(directory.c_str()) != 0) {
                ::_exit(127);
            }
            if (prepare) {
                prepare();
            }
            ::execl(STORMER_PI_PATH, STORMER_PI_PATH, "--ignored", "arguments", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(input_pipe[0]);
        ::close(output_pipe[1]);
        ::close(error_pipe[1]);
        input = input_pipe[1];
        output = output_pipe[0];
        errors = error_pipe[0];
    }

    void type(const std::string& text) const
    {
        EXPECT_EQ(::write(input, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }

    // Ends the input, reads everything the program writes, waits for its end.
    ProgramRun finish()
    {
        ::close(input);
        ProgramRun run;
        run.output = tolerating_a_clock_tick(read_all(output));
        run.errors = read_all(errors);
        int wait_status = 0;
        ::waitpid(pid, &wait_status, 0);
        run.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
        last_signal = WIFSIGNALED(wait_status) ? WTERMSIG(wait_status) : 0;
        return run;
    }

    int last_signal = 0;
};

// Runs the program in a directory on the whole of `input` and collects
// everything it writes.
ProgramRun run_program(const fs::path& directory, const std::string& input, const std::function<void()>& prepare = {})
{
    LiveProgram program(directory, prepare);
    program.type(input);
    return program.finish();
}

// Reads from a terminal until `wanted` has appeared or ten seconds pass.
bool read_until(int terminal, std::string& seen, const std::string& wanted)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (seen.find(wanted) == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd ready{terminal, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        char block[4096];
        const ssize_t count = ::read(terminal, block, sizeof block);
        if (count <= 0) {
            return false;
        }
        seen.append(block, static_cast<std::size_t>(count));
    }
    return true;
}

void wait_for_input(pid_t process);

} // namespace

TEST(ProgramThroughPipes, WholeSessionWithRejectionsTwoRunsAndQuit)
{
    const fs::path directory = fresh_directory("pipes");
    const ProgramRun run = run_program(directory, "abc\r\n12\nn n\n\n10\nno yes\n");
    EXPECT_EQ(run.output, opening + prompt + digits_only + prompt + run_for_12 + quit_question + next_run + prompt +
                              run_for_10 + quit_question + quitting);
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(fs::is_empty(directory)) << "nothing is written but the output";
    fs::remove_all(directory);
}

TEST(ProgramThroughPipes, EndOfInputEndsWithStatusZero)
{
    const fs::path directory = fresh_directory("eof");
    const ProgramRun at_prompt = run_program(directory, "");
    EXPECT_EQ(at_prompt.output, opening + prompt);
    EXPECT_EQ(at_prompt.status, 0);
    const ProgramRun at_save = run_program(directory, "12\n");
    EXPECT_EQ(at_save.output, opening + prompt + run_for_12);
    EXPECT_EQ(at_save.status, 0);
    fs::remove_all(directory);
}

TEST(ProgramOnATerminal, PromptShowsBeforeAnythingIsTyped)
{
    int terminal = -1;
    const pid_t child = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::execl(STORMER_PI_PATH, STORMER_PI_PATH, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::string seen;
    EXPECT_TRUE(read_until(terminal, seen, prompt)) << seen;
    const std::string typed = "12\r";
    EXPECT_EQ(::write(terminal, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    EXPECT_TRUE(read_until(terminal, seen, "Save PI to disk (y/n) ? ")) << seen;
    EXPECT_NE(seen.find(" 3.141592653590"), std::string::npos);
    const std::string answers = "n y\r";
    EXPECT_EQ(::write(terminal, answers.data(), answers.size()), static_cast<ssize_t>(answers.size()));
    EXPECT_TRUE(read_until(terminal, seen, "Quitting program...")) << seen;
    int wait_status = 0;
    ::waitpid(child, &wait_status, 0);
    ::close(terminal);
    EXPECT_TRUE(WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0);
}

TEST(ProgramThroughPipes, SavesIntoItsWorkingDirectory)
{
    const fs::path directory = fresh_directory("save");
    const ProgramRun run = run_program(directory, "12\ny y\n");
    EXPECT_EQ(run.output,
              opening + prompt + run_for_12 + "\nSaved 12 dps pi.text to disk...\n" + quit_question + quitting);
    EXPECT_EQ(run.status, 0);
    std::ifstream saved(directory / "12 dps pi.text", std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(saved)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes, "The value of PI is:\r\n 3.141592653590\r\nTerms used = 8\r\nDecimal places = 12\r\n"
                     "Time taken 0 days 0 hours 0 mins 0 secs\r\n\r\n");
    fs::remove_all(directory);
}

TEST(ProgramUnderMemoryTrouble, TooLittleAddressSpaceIsReportedAndSmallSizesStillWork)
{
    if (address_sanitizer) {
        GTEST_SKIP() << "the address sanitizer needs far more address space than any limit here";
    }
    const fs::path directory = fresh_directory("memory");
    const ProgramRun run = run_program(directory, "1600000\n12\nn y\n", [] { limit(RLIMIT_AS, rlim_t{40} << 20); });
    EXPECT_EQ(run.output, opening + prompt + take_that("1599999") + summing +
                              "\a\nNot enough memory for 1599999 decimal places. Try again.\n\n" + prompt + run_for_12 +
                              quit_question + quitting);
    EXPECT_EQ(run.status, 0);

    const ProgramRun small = run_program(directory, "12\nn y\n", [] { limit(RLIMIT_AS, 60'000 << 10); });
    EXPECT_EQ(small.output, opening + prompt + run_for_12 + quit_question + quitting);
    fs::remove_all(directory);
}

namespace {

std::size_t count_of(const std::string& text, const std::string& what)
{
    std::size_t found = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++found;
    }
    return found;
}

// Whether a fresh process under this limit on address space starts a run of
// `typed` places: it shows at once, by a progress line or the report, or by
// the shortage message, and the process is stopped there.
bool starts_a_run(const fs::path& directory, rlim_t kib, const std::string& typed)
{
    LiveProgram program(directory, [kib] { limit(RLIMIT_AS, kib << 10); });
    program.type(typed);
    ::close(program.input); // a refused run ends at the next question, its output written out
    program.input = -1;
    std::string seen;
    char block[4096];
    for (ssize_t count; seen.find("<Reached term no.") == std::string::npos &&
                        seen.find("Decimal places =") == std::string::npos &&
                        seen.find("Not enough memory") == std::string::npos &&
                        (count = ::read(program.output, block, sizeof block)) > 0;) {
        seen.append(block, static_cast<std::size_t>(count));
    }
    ::kill(program.pid, SIGKILL);
    program.finish();
    return seen.find("Not enough memory") == std::string::npos && seen.find("Summing terms") != std::string::npos;
}

} // namespace

// The smallest limit on address space at which a fresh process starts a run,
// found by halving: at it, every later run in one process computes too,
// whatever the runs before it left in the heap: at a size whose blocks the
// heap keeps, and at the largest, whose blocks it maps apart.
TEST(ProgramUnderMemoryTrouble, EveryRunAtALimitGetsTheAnswerTheFirstGot)
{
    if (address_sanitizer) {
        GTEST_SKIP() << "the address sanitizer needs far more address space than any limit here";
    }
    const fs::path directory = fresh_directory("same-answer");
    for (const auto& [places, reported, runs] : {std::tuple{"20000", "19998", 3}, {"1600000", "1599999", 2}}) {
        rlim_t refused = 16 << 10; // KiB
        rlim_t enough = 512 << 10;
        ASSERT_TRUE(starts_a_run(directory, enough, std::string(places) + "\n"));
        while (enough - refused > 4) {
            const rlim_t middle = (refused + enough) / 2;
            (starts_a_run(directory, middle, std::string(places) + "\n") ? enough : refused) = middle;
        }
        std::string typed;
        for (int run = 0; run < runs; ++run) {
            typed += std::string(places) + (run + 1 < runs ? "\nn n\n" : "\nn y\n");
        }
        const ProgramRun run = run_program(directory, typed, [kib = enough] { limit(RLIMIT_AS, kib << 10); });
        EXPECT_EQ(count_of(run.output, "Decimal places = " + std::string(reported)), static_cast<std::size_t>(runs))
            << places << " places at " << enough << " KiB";
        EXPECT_EQ(count_of(run.output, "Not enough memory"), 0U) << places << " places at " << enough << " KiB";
        EXPECT_EQ(run.status, 0);
    }
    fs::remove_all(directory);
}

namespace {

// This process's version 1 memory group, where there is one.
std::optional<fs::path> own_memory_group()
{
    std::ifstream membership("/proc/self/cgroup");
    for (std::string line; std::getline(membership, line);) {
        const std::size_t controllers = line.find(':');
        const std::size_t path = line.find(':', controllers + 1);
        if (controllers != std::string::npos && path != std::string::npos &&
            line.substr(controllers + 1, path - controllers - 1) == "memory") {
            return fs::path("/sys/fs/cgroup/memory" + line.substr(path + 1));
        }
    }
    return std::nullopt;
}

} // namespace

// Where this process may make memory groups below its own (as root, with
// version 1's memory controller): the largest size in a group limited to 20
// to 56 MiB runs, on as many threads as fit, or is refused with the message;
// the kernel never kills it for want of memory.
TEST(ProgramInAControlGroup, TheLargestSizeRunsOrIsRefusedWithinAMemoryLimit)
{
    if (address_sanitizer) {
        GTEST_SKIP() << "the address sanitizer needs far more memory than any limit here";
    }
    const std::optional<fs::path> own = own_memory_group();
    if (!own || ::access((*own / "cgroup.procs").c_str(), W_OK) != 0) {
        GTEST_SKIP() << "no version 1 memory group of this process's to make groups in";
    }
    const fs::path directory = fresh_directory("memory-group");
    for (const int mib : {20, 24, 28, 32, 40, 56}) {
        const fs::path group = *own / ("stormer-pi-" + std::to_string(::getpid()) + "-" + std::to_string(mib));
        std::error_code made;
        fs::create_directory(group, made);
        if (made) {
            GTEST_SKIP() << "cannot make " << group << ": " << made.message();
        }
        std::ofstream(group / "memory.limit_in_bytes") << (mib << 20);
        if (fs::exists(group / "memory.memsw.limit_in_bytes")) {
            std::ofstream(group / "memory.memsw.limit_in_bytes") << (mib << 20);
        }
        const ProgramRun run =
            run_program(directory, "1599999\nn y\n", [&group] { std::ofstream(group / "cgroup.procs") << ::getpid(); });
        fs::remove(group);
        const bool ran = count_of(run.output, "Decimal places = 1599999") == 1;
        const bool refused = count_of(run.output, "Not enough memory for 1599999 decimal places. Try again.") == 1;
        EXPECT_EQ(run.status, 0) << mib << " MiB";
        EXPECT_TRUE(ran != refused) << mib << " MiB";
    }
    fs::remove_all(directory);
}

// 200 runs with saves in one session: every run reported and saved, nothing
// else left on disk, and the memory in use the same after 200 runs as after 20.
TEST(ProgramSoak, TwoHundredRunsWithSaves)
{
    const fs::path directory = fresh_directory("soak");
    const auto session = [&](int runs, std::set<std::string>& names) {
        std::string typed;
        std::uint32_t state = 12345;
        for (int run = 0; run < runs; ++run) {
            state = state * 1103515245U + 12345U;
            const int places = 10 + static_cast<int>((state >> 8) % 2991);
            typed += std::to_string(places) + "\ny n\n";
            names.insert(std::to_string(3 * ((places + 3) / 3) - 3) + " dps pi.text");
        }
        typed += "12\nn y\n";
        return run_program(directory, typed);
    };
    std::set<std::string> names;
    rusage before{};
    ::getrusage(RUSAGE_CHILDREN, &before);
    const ProgramRun short_session = session(20, names);
    rusage after_short{};
    ::getrusage(RUSAGE_CHILDREN, &after_short);
    names.clear();
    const ProgramRun long_session = session(200, names);
    rusage after_long{};
    ::getrusage(RUSAGE_CHILDREN, &after_long);

    EXPECT_EQ(short_session.status, 0);
    EXPECT_EQ(long_session.status, 0);
    const auto count = [](const std::string& text, const std::string& what) {
        std::size_t found = 0;
        for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
            ++found;
        }
        return found;
    };
    EXPECT_EQ(count(long_session.output, "\nProgram Completed OK...\n\n 3.14159"), 201U);
    EXPECT_EQ(count(long_session.output, " to disk...\n"), 200U);
    EXPECT_EQ(count(long_session.output, "Could not"), 0U);
    EXPECT_TRUE(long_session.output.ends_with(quit_question + quitting));

    std::set<std::string> left;
    for (const auto& entry : fs::directory_iterator(directory)) {
        left.insert(entry.path().filename().string());
    }
    EXPECT_EQ(left, names) << "only the saved results are left";
    if (!address_sanitizer) {
        // The short session's peak is already in ru_maxrss when the long one runs.
        EXPECT_LE(after_long.ru_maxrss, std::max(after_short.ru_maxrss, before.ru_maxrss) + 4096)
            << "peak memory grew with the number of runs";
    }
    fs::remove_all(directory);
}

namespace {

// Waits until the process's main thread sits in the system call of that
// number on that descriptor.
void wait_for_call(pid_t process, const std::string& call, const std::string& fd)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
        std::ifstream syscall("/proc/" + std::to_string(process) + "/syscall");
        std::string number;
        std::string first_argument;
        syscall >> number >> first_argument;
        if ((number == call && first_argument == fd) || std::chrono::steady_clock::now() >= deadline) {
            return;
        }
        ::usleep(10'000);
    }
}

// Until it sits in a read of its standard input.
void wait_for_input(pid_t process) { wait_for_call(process, "0", "0x0"); }

// The output with its time taken left out.
std::string without_time(std::string text)
{
    const std::size_t line = text.find("Time taken: ");
    return line == std::string::npos ? text : text.erase(line, text.find('\n', line) - line);
}

} // namespace

// Each ending signal writes out the held output, then has its own default
// action (quit's core dump kept from happening here).
TEST(ProgramThroughPipes, AnEndingSignalStillWritesOutTheHeldOutput)
{
    const fs::path directory = fresh_directory("signal");
    for (const int ending : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        LiveProgram program(directory, [] { limit(RLIMIT_CORE, 0); });
        // The answer to the save question never comes; the whole report so
        // far is still held, well short of a block.
        program.type("12\n");
        wait_for_input(program.pid);
        ::kill(program.pid, ending);
        const ProgramRun run = program.finish();
        EXPECT_EQ(program.last_signal, ending);
        EXPECT_EQ(run.output, opening + prompt + run_for_12) << "signal " << ending;
    }
    fs::remove_all(directory);
}

// Signals, limits and broken streams.
class ProgramManners : public ::testing::Test {
protected:
    void SetUp() override { directory_ = fresh_directory("manners"); }
    void TearDown() override { fs::remove_all(directory_); }
    fs::path directory_;
};

TEST_F(ProgramManners, AHangUpIgnoredByTheParentStaysIgnored)
{
    LiveProgram program(directory_, [] { std::signal(SIGHUP, SIG_IGN); });
    program.type("12\n");
    wait_for_input(program.pid);
    ::kill(program.pid, SIGHUP);
    program.type("n y\n");
    const ProgramRun run = program.finish();
    EXPECT_EQ(run.output, opening + prompt + run_for_12 + quit_question + quitting);
    EXPECT_EQ(run.status, 0);
}

TEST_F(ProgramManners, AFileSizeLimitFailsTheSaveAndTheConversationGoesOn)
{
    const ProgramRun run = run_program(directory_, "3000\ny y\n", [] { limit(RLIMIT_FSIZE, 1000); });
    EXPECT_TRUE(run.output.ends_with("\nCould not save 3000 dps pi.text to disk (writing failed: File too large).\n" +
                                     quit_question + quitting))
        << run.output.substr(run.output.size() - std::min<std::size_t>(run.output.size(), 300));
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(fs::is_empty(directory_)) << "no temporary file is left";
}

TEST_F(ProgramManners, OutputThatCannotBeWrittenIsReportedOnceWithStatusTwo)
{
    const ProgramRun full = run_program(directory_, "12\nn y\n", [] {
        const int device = ::open("/dev/full", O_WRONLY);
        ::dup2(device, STDOUT_FILENO);
    });
    EXPECT_EQ(full.errors, "stormer-pi: cannot write to standard output: No space left on device\n");
    EXPECT_EQ(full.status, 2);
    const ProgramRun closed = run_program(directory_, "12\nn y\n", [] { ::close(STDOUT_FILENO); });
    EXPECT_EQ(closed.errors, "stormer-pi: cannot write to standard output: Bad file descriptor\n");
    EXPECT_EQ(closed.status, 2);
}

TEST_F(ProgramManners, NonBlockingStreamsAreWaitedOn)
{
    const std::string typed = "100000\nn y\n";
    const ProgramRun blocking = run_program(directory_, typed);
    ASSERT_GT(blocking.output.size(), 100'000U);

    // A slow reader of a non-blocking pipe, and input that comes late.
    LiveProgram program(directory_, [] {
        ::fcntl(STDIN_FILENO, F_SETFL, O_NONBLOCK);
        ::fcntl(STDOUT_FILENO, F_SETFL, O_NONBLOCK);
    });
    ::usleep(300'000);
    program.type(typed);
    ::usleep(500'000);
    const ProgramRun run = program.finish();
    // The two runs may differ in their time taken, and in nothing else.
    EXPECT_TRUE(without_time(run.output) == without_time(blocking.output))
        << run.output.size() << " of " << blocking.output.size() << " bytes";
    EXPECT_EQ(run.status, 0);
}

TEST_F(ProgramManners, ASmallStackLimitDoesNotMatter)
{
    const ProgramRun large = run_program(directory_, "100000\nn y\n", [] { limit(RLIMIT_STACK, 128 << 10); });
    EXPECT_TRUE(large.output.ends_with(quit_question + quitting));
    EXPECT_EQ(large.status, 0);
    if (address_sanitizer) {
        return; // its own bookkeeping needs more than 16 KiB of the main stack
    }
    const ProgramRun small = run_program(directory_, "12\nn y\n", [] { limit(RLIMIT_STACK, 16 << 10); });
    EXPECT_EQ(small.output, opening + prompt + run_for_12 + quit_question + quitting);
    EXPECT_EQ(small.status, 0);
}

TEST_F(ProgramManners, WithNoThreadToBeHadASmallStackLimitStillDoesNotMatter)
{
    const ProgramRun threaded = run_program(directory_, "100000\nn y\n");
    // Root's processes are not counted against RLIMIT_NPROC: an unprivileged
    // user runs it instead.
    const ProgramRun alone = run_program(directory_, "100000\nn y\n", [root = ::geteuid() == 0] {
        limit(RLIMIT_STACK, 64 << 10);
        limit(RLIMIT_NPROC, 1);
        if ((root && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) ||
            ::access(STORMER_PI_PATH, X_OK) != 0) {
            ::_exit(126);
        }
        if (address_sanitizer) { // its leak check at the end needs a thread
            const char* options = std::getenv("ASAN_OPTIONS");
            ::setenv("ASAN_OPTIONS", (std::string(options ? options : "") + ":detect_leaks=0").c_str(), 1);
        }
    });
    if (alone.status == 126) {
        GTEST_SKIP() << "user 65534 cannot be had, or cannot run " STORMER_PI_PATH;
    }
    EXPECT_TRUE(without_time(alone.output) == without_time(threaded.output));
    EXPECT_EQ(alone.status, 0);
}

// Nobody reads the output while the threads sum, so the main thread waits in
// a write when the signal comes: everything written comes once, in order.
TEST_F(ProgramManners, AnEndingSignalDuringTheSumWritesEveryLineOnce)
{
    LiveProgram program(directory_, [] { ::fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 4096); });
    program.type("1599999\nn\ny\n");
    wait_for_call(program.pid, "1", "0x1");
    ::kill(program.pid, SIGTERM);
    ::usleep(200'000); // time for a handler on the wrong thread to start its write
    const ProgramRun run = program.finish();
    EXPECT_EQ(program.last_signal, SIGTERM);
    std::string sum = opening + prompt + summing;
    for (int term = 100; term <= 885'845; term += 100) {
        sum += "<Reached term no. " + std::to_string(term) + ">\n";
    }
    EXPECT_GE(run.output.size(), 8192U);
    EXPECT_TRUE(sum.starts_with(run.output)) << run.output.substr(std::max<std::size_t>(run.output.size(), 300) - 300);
}

// Nobody ever reads the output: a termination signal ends the program all
// the same, and what did go out comes once, in order.
TEST_F(ProgramManners, AnEndingSignalEndsTheProgramThoughNothingReadsItsOutput)
{
    LiveProgram program(directory_, [] { ::fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 4096); });
    program.type("1599999\nn\ny\n");
    wait_for_call(program.pid, "1", "0x1");
    ::kill(program.pid, SIGTERM);
    int wait_status = 0;
    bool ended = false;
    for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         !ended && std::chrono::steady_clock::now() < deadline; ::usleep(10'000)) {
        ended = ::waitpid(program.pid, &wait_status, WNOHANG) == program.pid;
    }
    if (!ended) {
        ::kill(program.pid, SIGKILL);
        ::waitpid(program.pid, &wait_status, 0);
    }
    ::close(program.input);
    const std::string output = read_all(program.output);
    read_all(program.errors);
    ASSERT_TRUE(ended) << "still running ten seconds after the signal";
    EXPECT_TRUE(WIFSIGNALED(wait_status) && WTERMSIG(wait_status) == SIGTERM);
    std::string sum = opening + prompt + summing;
    for (int term = 100; term <= 885'845; term += 100) {
        sum += "<Reached term no. " + std::to_string(term) + ">\n";
    }
    EXPECT_GE(output.size(), 4096U);
    EXPECT_TRUE(sum.starts_with(output)) << output.substr(std::max<std::size_t>(output.size(), 300) - 300);
}
