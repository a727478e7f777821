#include "platform/system_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/beyond_posix.h"

namespace {

int open_new_file(const char* path) { return ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666); }

// To read and write; not through a symbolic link, and never hanging on a FIFO
// put there meanwhile.
int open_existing_file(const char* path)
{
    const int fd = ::open(path, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat status {};
    if (fd >= 0 && (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

int reserve_space(int fd, off_t offset, off_t length)
{
    const int error = ::posix_fallocate(fd, offset, length);
    errno = error;
    return error == 0 ? 0 : -1;
}

bool resident_memory_can_be_had(std::size_t bytes)
{
    const std::optional<std::size_t> left = memory_left_in_control_groups();
    return !left || bytes <= *left;
}

bool address_space_can_be_had(std::size_t bytes)
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

SignalsLetThrough::SignalsLetThrough(const sigset_t& signals) { pthread_sigmask(SIG_UNBLOCK, &signals, &previous_); }

SignalsLetThrough::~SignalsLetThrough() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

const FileCalls& system_file_calls()
{
    static const FileCalls calls{open_unnamed_file, link_unnamed_file, open_new_file, open_existing_file,
                                 ::write,           reserve_space,     ::ftruncate,   ::fsync,
                                 ::close,           ::rename,          ::unlink};
    return calls;
}

bool memory_can_be_had(std::size_t address_space, std::size_t resident)
{
    return resident_memory_can_be_had(resident) && address_space_can_be_had(address_space);
}

MemoryCheck::MemoryCheck() : address_space_at_start_(address_space_in_use()) {}

bool MemoryCheck::operator()(std::size_t address_space, std::size_t resident) const
{
    if (!resident_memory_can_be_had(resident)) {
        return false;
    }
    // Taken after the control groups' files are read: reading them takes
    // heap memory too.
    const std::size_t in_use = address_space_in_use();
    const std::size_t kept = in_use > address_space_at_start_ ? in_use - address_space_at_start_ : 0;
    const std::size_t allowed = std::min(kept, kept_by_the_heap);
    return address_space_can_be_had(address_space > allowed ? address_space - allowed : 0);
}

std::int64_t system_wall_clock() { return static_cast<std::int64_t>(std::time(nullptr)); }
