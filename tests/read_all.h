#pragma once

#include <string>
#include <unistd.h>

// Everything that can be read from fd until its end; then closes it.
inline std::string read_all(int fd)
{
    std::string bytes;
    char block[4096];
    for (ssize_t count; (count = ::read(fd, block, sizeof block)) > 0;) {
        bytes.append(block, static_cast<std::size_t>(count));
    }
    ::close(fd);
    return bytes;
}
