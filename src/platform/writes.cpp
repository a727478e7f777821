#include "platform/writes.h"

#include <cerrno>
#include <poll.h>

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
