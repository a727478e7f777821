#include "platform/system_io.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

int open_new_file(const char* path) { return ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666); }

} // namespace

bool try_again(ssize_t result, int fd, short ready_for)
{
    if (result >= 0) {
        return false;
    }
    if (errno == EINTR) {
        return true;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
        pollfd ready{fd, ready_for, 0};
        ::poll(&ready, 1, -1);
        return true;
    }
    return false;
}

int write_all(int fd, std::string_view bytes, WriteCall write)
{
    while (!bytes.empty()) {
        const ssize_t written = write(fd, bytes.data(), bytes.size());
        if (try_again(written, fd, POLLOUT)) {
            continue;
        }
        if (written <= 0) {
            return written == 0 ? EIO : errno;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return 0;
}

sigset_t asynchronous_signals()
{
    sigset_t signals;
    sigfillset(&signals);
    for (const int own : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGPIPE, SIGXFSZ, SIGABRT}) {
        sigdelset(&signals, own);
    }
    return signals;
}

SignalsHeld::SignalsHeld(std::initializer_list<int> signal_numbers)
{
    sigset_t held;
    sigemptyset(&held);
    for (const int signal_number : signal_numbers) {
        sigaddset(&held, signal_number);
    }
    pthread_sigmask(SIG_BLOCK, &held, &previous_);
}

SignalsHeld::SignalsHeld(const sigset_t& signals) { pthread_sigmask(SIG_BLOCK, &signals, &previous_); }

SignalsHeld::~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

const FileCalls& system_file_calls()
{
    static const FileCalls calls{open_new_file, ::write, ::fsync, ::close, ::rename, ::unlink};
    return calls;
}

bool memory_can_be_had(std::size_t bytes)
{
    if (bytes == 0) {
        return true;
    }
    // Mapping it writable asks the kernel for both the address space and the
    // commitment; nothing is touched, and it is given straight back.
    void* trial = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (trial == MAP_FAILED) {
        return false;
    }
    ::munmap(trial, bytes);
    return true;
}

std::int64_t system_wall_clock() { return static_cast<std::int64_t>(std::time(nullptr)); }
