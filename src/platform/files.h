#pragma once

// Files replaced whole, and the system calls that replacing goes through.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

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

// The step at which replacing a file failed, and the system's error number.
enum class ReplaceStep {
    creating, // no new file could be made beside the earlier one
    writing,
    closing,
    replacing, // the earlier file may not be replaced, or the new one not put in its place
};
struct ReplaceFailure {
    ReplaceStep step;
    int error;
};

// Puts bytes into the file of that name, in the working directory, whole,
// through a new file beside it (one with no name until it is complete, where
// the system has them, so that a killed save leaves nothing behind), or
// leaves any earlier file as it was. An earlier file keeps its permissions
// and, where the user may give it, its owner; one the user could not open for
// writing is not replaced. A symbolic link at the name is replaced, its target
// never written. Where no new file can be had there (the directory is not the
// user's to write, or it is sticky and the earlier file somebody else's, or
// there is no room for two copies) but the earlier file holds the same first
// `rewritable_from` bytes, the rest is written over it where it stands.
std::optional<ReplaceFailure> replace_file(const std::string& name, std::string_view bytes, std::size_t rewritable_from,
                                           const FileCalls& calls);

// A temporary file that a save left behind, and the system's error number
// for why it could not be removed.
struct TemporaryKept {
    std::string name;
    int error;
};

// Where no file with no name can be had, replace_file writes under a
// temporary name, which stays behind should its process be killed meanwhile.
// This removes those of earlier saves of `name` whose process is gone: only
// files that such a save names, whose process is not running here and holds
// no lock on them (as a save in another container or on another host keeps
// one). Returns those it could not remove.
std::vector<TemporaryKept> remove_abandoned_temporaries(const std::string& name, const FileCalls& calls);

// Files with no name until they are complete (system-specific:
// system_linux.cpp, system_portable.cpp).

// Opens a new file with no name in `directory` for writing, so that nothing is
// left of it should the process die before link_unnamed_file names it; -1
// where the system cannot (errno says why), and a named file has to do.
int open_unnamed_file(const char* directory);
// Gives a file from open_unnamed_file the name `path`, which must be free;
// 0, or -1 with errno.
int link_unnamed_file(int fd, const char* path);
