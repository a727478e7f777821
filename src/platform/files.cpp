#include "platform/files.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

} // namespace

const FileCalls& system_file_calls()
{
    static const FileCalls calls{open_unnamed_file, link_unnamed_file, open_new_file, open_existing_file,
                                 ::write,           reserve_space,     ::ftruncate,   ::fsync,
                                 ::close,           ::rename,          ::unlink};
    return calls;
}
