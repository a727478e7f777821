#pragma once

// The platform layer: everything this program asks of the operating system
// (standard streams, files, signals, memory, clocks, threads) behind small
// plain interfaces. It uses nothing of the program's own; every other folder
// may use it.

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <sys/types.h>

using WriteCall = ssize_t (*)(int fd, const void* bytes, std::size_t count);

// Writes all of bytes, through short writes, interruptions and a descriptor
// that would block. Returns 0, or the errno of the write that failed (EIO for
// one that wrote nothing).
int write_all(int fd, std::string_view bytes, WriteCall write);

// Whether a read or write that returned `result` should be tried again: it
// was interrupted, or its descriptor (left non-blocking by somebody else) was
// not ready, in which case this waits until it is.
bool try_again(ssize_t result, int fd, short ready_for);

// Every signal sent to the process from outside: all but those a thread
// brings on itself (a fault, a broken pipe, a file too large, abort).
sigset_t asynchronous_signals();

// Holds the given signals back in this thread for its lifetime; any that
// arrive meanwhile take effect when it ends.
class SignalsHeld {
public:
    explicit SignalsHeld(std::initializer_list<int> signal_numbers);
    explicit SignalsHeld(const sigset_t& signals);
    ~SignalsHeld();
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t previous_{};
};

// The system calls a save goes through; tests replace some to make them fail.
struct FileCalls {
    int (*open_new)(const char* path); // create exclusively for writing
    ssize_t (*write)(int fd, const void* bytes, std::size_t count);
    int (*sync)(int fd);
    int (*close)(int fd);
    int (*rename)(const char* from, const char* to);
    int (*unlink)(const char* path);
};
const FileCalls& system_file_calls();

// Whether this much more address space can be mapped and committed now. The
// big-number libraries cannot recover from a failed allocation, so a shortage
// has to be found before they start.
bool memory_can_be_had(std::size_t bytes);

// Wall-clock time in whole seconds; only differences are used.
using WallClock = std::int64_t (*)();
std::int64_t system_wall_clock();
