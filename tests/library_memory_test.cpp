#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "engine/big_numbers.h"
#include "engine/remainder_engine.h"
#include "platform/console.h"
#include "test_helpers.h"

namespace {

// Fails every allocation from the nth on.
std::atomic<long> allocations{0};
long failing_from = 0;
void* allocate(std::size_t bytes) { return ++allocations >= failing_from ? nullptr : std::malloc(bytes); }
void* reallocate(void* block, std::size_t bytes)
{
    return ++allocations >= failing_from ? nullptr : std::realloc(block, bytes);
}

} // namespace

// Wherever GMP, MPFR or FLINT fail to allocate, on whichever thread, while
// the main thread writes progress to a standard output holding some text:
// that output once, in order, one line on standard error, status 3.
TEST(LibraryMemory, AFailedAllocationEndsWithTheHeldOutputAMessageAndStatusThree)
{
    std::string progress = "held text\n";
    for (int term = 100; term <= 100'000; term += 100) {
        progress += "<Reached term no. " + std::to_string(term) + ">\n";
    }
    int endings = 0;
    for (long n = 1;; n = n * 9 / 8 + 1) {
        int output[2];
        int errors[2];
        ASSERT_TRUE(::pipe(output) == 0 && ::pipe(errors) == 0);
        const pid_t child = ::fork();
        if (child == 0) {
            ::dup2(output[1], STDOUT_FILENO);
            ::dup2(errors[1], STDERR_FILENO);
            StandardOutput out;
            out.write("held text\n");
            failing_from = n;
            route_library_memory(allocate, reallocate);
            const RunSize size = run_size_for(100'000);
            std::vector<limb> result(static_cast<std::size_t>(size.limbs));
            RemainderEngine(2, out).sum_into(size, result, out, 2);
            ::_exit(0);
        }
        ::close(output[1]);
        ::close(errors[1]);
        const std::string written = read_all(output[0]);
        const std::string said = read_all(errors[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
            break; // the run makes fewer allocations than that
        }
        ++endings;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << "failing from allocation " << n;
        EXPECT_EQ(said, "stormer-pi: out of memory\n") << "failing from allocation " << n;
        EXPECT_TRUE(written.starts_with("held text\n") && progress.starts_with(written))
            << "failing from allocation " << n << ":\n"
            << written.substr(0, 1000);
        if (HasFailure()) {
            return;
        }
    }
    EXPECT_GT(endings, 20);
}
