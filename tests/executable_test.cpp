// The built program run as a user runs it: through pipes, and on a terminal.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <poll.h>
#include <pty.h>
#include <regex>
#include <set>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "conversation_texts.h"

using namespace texts;
namespace fs = std::filesystem;

namespace {

struct ProgramRun {
    std::string output;
    int status = -1;
};

fs::path fresh_directory(const std::string& name)
{
    const fs::path directory = fs::temp_directory_path() / ("stormer-pi-" + name + "-" + std::to_string(::getpid()));
    fs::remove_all(directory);
    fs::create_directories(directory);
    return directory;
}

// Runs the program in a directory with its standard input read from a file
// holding `input`, and collects everything it writes to standard output.
ProgramRun run_program(const fs::path& directory, const std::string& input, rlim_t address_space_limit = 0)
{
    const fs::path input_file = directory / "typed-input";
    std::ofstream(input_file, std::ios::binary) << input;
    int output_pipe[2];
    EXPECT_EQ(::pipe(output_pipe), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(output_pipe[1], STDOUT_FILENO);
        ::close(output_pipe[0]);
        ::close(output_pipe[1]);
        if (std::freopen(input_file.c_str(), "rb", stdin) == nullptr || ::chdir(directory.c_str()) != 0) {
            ::_exit(127);
        }
        const rlimit limit{address_space_limit, address_space_limit};
        if (address_space_limit > 0 && ::setrlimit(RLIMIT_AS, &limit) != 0) {
            ::_exit(127);
        }
        ::execl(STORMER_PI_PATH, STORMER_PI_PATH, "--ignored", "arguments", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(output_pipe[1]);
    ProgramRun run;
    char block[4096];
    for (ssize_t count; (count = ::read(output_pipe[0], block, sizeof block)) > 0;) {
        run.output.append(block, static_cast<std::size_t>(count));
    }
    ::close(output_pipe[0]);
    int wait_status = 0;
    ::waitpid(child, &wait_status, 0);
    run.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
    fs::remove(input_file);
    return run;
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

#if defined(__SANITIZE_ADDRESS__)
constexpr bool address_sanitizer = true;
#else
constexpr bool address_sanitizer = false;
#endif

TEST(ProgramUnderMemoryTrouble, TooLittleAddressSpaceIsReportedAndSmallSizesStillWork)
{
    if (address_sanitizer) {
        GTEST_SKIP() << "the address sanitizer needs far more address space than any limit here";
    }
    const fs::path directory = fresh_directory("memory");
    const ProgramRun run = run_program(directory, "1600000\n12\nn y\n", rlim_t{200} << 20);
    EXPECT_EQ(run.output, opening + prompt + take_that("1599999") + summing +
                              "\a\nNot enough memory for 1599999 decimal places. Try again.\n\n" + prompt + run_for_12 +
                              quit_question + quitting);
    EXPECT_EQ(run.status, 0);
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

// Whether the process sits in a read of its standard input.
bool waiting_for_input(pid_t process)
{
    std::ifstream syscall("/proc/" + std::to_string(process) + "/syscall");
    std::string number;
    std::string first_argument;
    syscall >> number >> first_argument;
    return number == "0" && first_argument == "0x0";
}

} // namespace

TEST(ProgramThroughPipes, AnEndingSignalStillWritesOutTheHeldOutput)
{
    int input_pipe[2];
    int output_pipe[2];
    ASSERT_EQ(::pipe(input_pipe), 0);
    ASSERT_EQ(::pipe(output_pipe), 0);
    const std::string typed = "12\n";
    ASSERT_EQ(::write(input_pipe[1], typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(input_pipe[0], STDIN_FILENO);
        ::dup2(output_pipe[1], STDOUT_FILENO);
        for (const int fd : {input_pipe[0], input_pipe[1], output_pipe[0], output_pipe[1]}) {
            ::close(fd);
        }
        ::execl(STORMER_PI_PATH, STORMER_PI_PATH, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(input_pipe[0]);
    ::close(output_pipe[1]);
    // The answer to the save question never comes; the whole report so far is
    // still held, well short of a block.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!waiting_for_input(child) && std::chrono::steady_clock::now() < deadline) {
        ::usleep(10'000);
    }
    ::kill(child, SIGTERM);
    std::string output;
    char block[4096];
    for (ssize_t count; (count = ::read(output_pipe[0], block, sizeof block)) > 0;) {
        output.append(block, static_cast<std::size_t>(count));
    }
    ::close(output_pipe[0]);
    ::close(input_pipe[1]);
    int wait_status = 0;
    ::waitpid(child, &wait_status, 0);
    EXPECT_TRUE(WIFSIGNALED(wait_status) && WTERMSIG(wait_status) == SIGTERM);
    EXPECT_EQ(output, opening + prompt + run_for_12);
}
