#pragma once

#include <cstddef>
#include <sys/types.h>

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

// Files with no name until they are complete (system-specific:
// system_linux.cpp, system_portable.cpp).

// Opens a new file with no name in `directory` for writing, so that nothing is
// left of it should the process die before link_unnamed_file names it; -1
// where the system cannot (errno says why), and a named file has to do.
int open_unnamed_file(const char* directory);
// Gives a file from open_unnamed_file the name `path`, which must be free;
// 0, or -1 with errno.
int link_unnamed_file(int fd, const char* path);
