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

// Lets the given signals through in this thread for its lifetime, even where
// they are held back around it; then holds back again what was held.
class SignalsLetThrough {
public:
    explicit SignalsLetThrough(const sigset_t& signals);
    ~SignalsLetThrough();
    SignalsLetThrough(const SignalsLetThrough&) = delete;
    SignalsLetThrough& operator=(const SignalsLetThrough&) = delete;

private:
    sigset_t previous_{};
};

// The system calls a save goes through; tests replace some to make them fail.
// Those that return an int return 0 or a descriptor, or -1 with errno.
struct FileCalls {
    int (*open_unnamed)(const char* directory); // a new file with no name, where the system has them
    int (*link)(int fd, const char* path);      // names a file from open_unnamed
    int (*open_new)(const char* path);          // create exclusively for writing
    int (*open_existing)(const char* path);     // an existing regular file, to read and write in place
    ssize_t (*write)(int fd, const void* bytes, std::size_t count);
    int (*reserve)(int fd, off_t offset, off_t length); // disk space for those bytes of the file
    int (*truncate)(int fd, off_t length);
    int (*sync)(int fd);
    int (*close)(int fd);
    int (*rename)(const char* from, const char* to);
    int (*unlink)(const char* path);
};
const FileCalls& system_file_calls();

// Whether a run can have `address_space` more bytes mapped and committed now
// (what a limit on address space, ulimit -v, and the kernel's overcommit rule
// count) and `resident` more bytes in use within the memory limits of the
// process's control groups. The big-number libraries cannot recover from a
// failed allocation, so a shortage has to be found before they start.
bool memory_can_be_had(std::size_t address_space, std::size_t resident);

// The memory check of a session, which gives every run the answer the first
// would get. A run leaves the heap a little larger than it found it: small
// blocks the C library keeps for each thread, for the next run to take again.
// So what the process's address space has grown since the check was made
// counts as had, up to kept_by_the_heap.
class MemoryCheck {
public:
    static constexpr std::size_t kept_by_the_heap = std::size_t{256} << 10;

    MemoryCheck();
    bool operator()(std::size_t address_space, std::size_t resident) const;

private:
    std::size_t address_space_at_start_;
};

// Wall-clock time in whole seconds; only differences are used.
using WallClock = std::int64_t (*)();
std::int64_t system_wall_clock();
