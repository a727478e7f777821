#pragma once

// Whole writes, and the retries of reads and writes that an interruption or a
// descriptor left non-blocking by somebody else calls for.

#include <cstddef>
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
