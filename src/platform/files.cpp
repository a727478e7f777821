#include "platform/files.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/writes.h"

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

ReplaceFailure failed_at(ReplaceStep step) { return ReplaceFailure{step, errno}; }

// A save's temporary names: "<name>.<its process>-<attempt>.saving".
constexpr int attempts_at_most = 100;

std::string temporary_name_for(const std::string& name, pid_t saver, int attempt)
{
    return name + "." + std::to_string(saver) + "-" + std::to_string(attempt) + ".saving";
}

// The process whose save of `name` made a file of this name; 0 where no save
// makes a file of that name.
pid_t saver_of(const std::string& file, const std::string& name)
{
    if (!file.starts_with(name + ".")) {
        return 0;
    }
    const char* const end = file.data() + file.size();
    pid_t saver = 0;
    int attempt = 0;
    const auto [after_saver, saver_error] = std::from_chars(file.data() + name.size() + 1, end, saver);
    if (saver_error != std::errc() || after_saver == end) {
        return 0;
    }
    const auto attempt_error = std::from_chars(after_saver + 1, end, attempt).ec;
    if (attempt_error != std::errc() || saver <= 0 || attempt < 0 || attempt >= attempts_at_most) {
        return 0;
    }
    return file == temporary_name_for(name, saver, attempt) ? saver : 0;
}

struct flock whole_file_lock(short type)
{
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return lock;
}

// A save holds a lock on its new file for as long as it has the file open,
// and the lock goes with its process, however that ends: so a process in
// another container, or on another host sharing the directory, whose number
// means nothing here, still shows it is at work. (Where the file system has
// no locks, the process's number alone tells.)
void mark_in_use(int fd)
{
    struct flock lock = whole_file_lock(F_WRLCK);
    ::fcntl(fd, F_SETLK, &lock);
}

// Whether the file's save is over: its process is not running here, and
// nobody holds its lock. A file that cannot be opened to ask, or that is no
// regular file, is none of ours to take.
bool save_is_over(const std::string& file, pid_t saver)
{
    if (::kill(saver, 0) == 0 || errno != ESRCH) {
        return false;
    }
    const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat status {};
    struct flock lock = whole_file_lock(F_WRLCK);
    const bool over = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
                      (::fcntl(fd, F_GETLK, &lock) != 0 || lock.l_type == F_UNLCK);
    ::close(fd);
    return over;
}

// A temporary name beside the target, taken by `take` (a call that makes a
// file under it, or names one): a name already taken gets another. Returns
// what `take` returned, the name in `taken`, or -1 with errno.
template <typename Take> int take_temporary_name(const std::string& name, std::string& taken, Take take)
{
    for (int attempt = 0; attempt < attempts_at_most; ++attempt) {
        std::string candidate = temporary_name_for(name, ::getpid(), attempt);
        if (const int result = take(candidate.c_str()); result >= 0) {
            taken = std::move(candidate);
            return result;
        }
        if (errno != EEXIST) {
            return -1;
        }
    }
    return -1;
}

// A file already at the name: whether the user may write it, and who owns it.
struct EarlierFile {
    bool exists = false;
    struct stat status {};
};

EarlierFile look_at_earlier(const std::string& name)
{
    EarlierFile earlier;
    earlier.exists = ::lstat(name.c_str(), &earlier.status) == 0 && S_ISREG(earlier.status.st_mode);
    return earlier;
}

// Renaming over a file needs only the directory's permission: a file its user
// could not write must not be replaced behind their back. Opening it to write
// (and closing it at once) changes nothing in it.
bool may_write(const std::string& name)
{
    const int fd = ::open(name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

// A replaced file keeps the access and the owner the earlier file had (the
// owner only where the user may give it, as root may); a new one gets the
// usual 0666 less the umask. Failing here costs nothing worse.
void keep_owner_and_permissions(const EarlierFile& earlier, int fd)
{
    if (!earlier.exists) {
        return;
    }
    if (::fchown(fd, earlier.status.st_uid, earlier.status.st_gid) != 0) {
        // Not ours to give away: the new file stays the user's.
    }
    ::fchmod(fd, earlier.status.st_mode & 0777);
}

// The new name is in the file system's memory only until its directory is
// written out too; the file itself is complete either way.
void sync_working_directory()
{
    const int directory = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        ::fsync(directory);
        ::close(directory);
    }
}

bool is_refusal(int error) { return error == EACCES || error == EPERM; }
bool is_shortage_of_room(int error) { return error == ENOSPC || error == EDQUOT; }

// Why a replacement through a new file failed, and whether writing the
// earlier file in place may do instead: where no new file could be had beside
// it (a directory the user may not write, a sticky one where the earlier file
// is somebody else's, too little room for a second copy).
struct NewFileFailure {
    ReplaceFailure failure;
    bool in_place_may_do = false;
};

NewFileFailure new_file_failed_at(ReplaceStep step, bool in_place_may_do)
{
    return NewFileFailure{failed_at(step), in_place_may_do};
}

// The new file beside the target: one with no name where the system has them,
// so that nothing is left of it should the process be killed; otherwise one
// under a temporary name.
struct Replacement {
    int fd = -1;
    std::string temporary_name; // empty while the file has no name
    bool at_target = false;     // linked straight to the target's name
};

Replacement open_replacement(const std::string& name, const FileCalls& calls)
{
    Replacement file;
    file.fd = calls.open_unnamed(".");
    if (file.fd < 0) {
        file.fd = take_temporary_name(name, file.temporary_name, calls.open_new);
    }
    if (file.fd >= 0) {
        mark_in_use(file.fd);
    }
    return file;
}

// Gives a file with no name a name before it is closed: the target's where
// that is free (no other file to replace), a temporary one otherwise, to be
// renamed over the earlier file.
int name_replacement(Replacement& file, const std::string& name, const FileCalls& calls)
{
    if (!file.temporary_name.empty()) {
        return 0;
    }
    if (calls.link(file.fd, name.c_str()) == 0) {
        file.at_target = true;
        return 0;
    }
    if (errno != EEXIST) {
        return -1;
    }
    return take_temporary_name(name, file.temporary_name, [&](const char* path) { return calls.link(file.fd, path); });
}

std::optional<NewFileFailure> replace_through_new_file(const std::string& name, std::string_view bytes,
                                                       const EarlierFile& earlier, const FileCalls& calls)
{
    Replacement file = open_replacement(name, calls);
    if (file.fd < 0) {
        return new_file_failed_at(ReplaceStep::creating, is_refusal(errno) || is_shortage_of_room(errno));
    }
    keep_owner_and_permissions(earlier, file.fd);
    std::optional<NewFileFailure> failure;
    if (const int error = write_all(file.fd, bytes, calls.write); error != 0) {
        failure = NewFileFailure{{ReplaceStep::writing, error}, is_shortage_of_room(error)};
    } else if (calls.sync(file.fd) != 0) {
        failure = new_file_failed_at(ReplaceStep::writing, is_shortage_of_room(errno));
    } else if (name_replacement(file, name, calls) != 0) {
        failure = new_file_failed_at(ReplaceStep::replacing, is_refusal(errno) || is_shortage_of_room(errno));
    }
    if (calls.close(file.fd) != 0 && !failure) {
        failure = new_file_failed_at(ReplaceStep::closing, false);
    }
    if (!failure && !file.at_target && calls.rename(file.temporary_name.c_str(), name.c_str()) != 0) {
        failure = new_file_failed_at(ReplaceStep::replacing, is_refusal(errno));
    }
    if (failure && file.at_target) {
        calls.unlink(name.c_str());
    } else if (failure && !file.temporary_name.empty()) {
        calls.unlink(file.temporary_name.c_str());
    }
    return failure;
}

// How many of the file's first bytes are `bytes`' own, up to `wanted`.
std::size_t bytes_alike(int fd, std::string_view bytes, std::size_t wanted)
{
    std::vector<char> chunk(std::size_t{64} << 10);
    std::size_t alike = 0;
    while (alike < wanted) {
        const ssize_t count =
            ::pread(fd, chunk.data(), std::min(chunk.size(), wanted - alike), static_cast<off_t>(alike));
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return alike;
        }
        const auto read = static_cast<std::size_t>(count);
        const auto first_difference = std::mismatch(chunk.data(), chunk.data() + read, bytes.data() + alike).first;
        alike += static_cast<std::size_t>(first_difference - chunk.data());
        if (first_difference != chunk.data() + read) {
            return alike;
        }
    }
    return alike;
}

// The earlier file, open to be rewritten where it stands, if its first
// `rewritable_from` bytes are those of `bytes`; -1 otherwise.
int open_same_beginning(const std::string& name, std::string_view bytes, std::size_t rewritable_from,
                        const FileCalls& calls)
{
    const int fd = calls.open_existing(name.c_str());
    if (fd >= 0 && bytes_alike(fd, bytes, rewritable_from) != rewritable_from) {
        calls.close(fd);
        return -1;
    }
    return fd;
}

// Rewrites the file from `rewritable_from` on where it stands. The room for
// any bytes the file grows by is reserved first, so that a full disk leaves
// it as it was (the size it had is given back should anything fail).
std::optional<ReplaceFailure> write_in_place(int fd, std::string_view bytes, std::size_t rewritable_from,
                                             const FileCalls& calls)
{
    const auto size = static_cast<off_t>(bytes.size());
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        const ReplaceFailure failure = failed_at(ReplaceStep::writing);
        calls.close(fd);
        return failure;
    }
    std::optional<ReplaceFailure> failure;
    if (size > status.st_size && calls.reserve(fd, status.st_size, size - status.st_size) != 0 && errno != EOPNOTSUPP &&
        errno != EINVAL) {
        failure = failed_at(ReplaceStep::writing);
    } else if (::lseek(fd, static_cast<off_t>(rewritable_from), SEEK_SET) < 0) {
        failure = failed_at(ReplaceStep::writing);
    } else if (const int error = write_all(fd, bytes.substr(rewritable_from), calls.write); error != 0) {
        failure = ReplaceFailure{ReplaceStep::writing, error};
    } else if (calls.truncate(fd, size) != 0 || calls.sync(fd) != 0) {
        failure = failed_at(ReplaceStep::writing);
    }
    if (failure && size > status.st_size) {
        calls.truncate(fd, status.st_size);
    }
    if (calls.close(fd) != 0 && !failure) {
        failure = failed_at(ReplaceStep::closing);
    }
    return failure;
}

} // namespace

const FileCalls& system_file_calls()
{
    static const FileCalls calls{open_unnamed_file, link_unnamed_file, open_new_file, open_existing_file,
                                 ::write,           reserve_space,     ::ftruncate,   ::fsync,
                                 ::close,           ::rename,          ::unlink};
    return calls;
}

std::optional<ReplaceFailure> replace_file(const std::string& name, std::string_view bytes, std::size_t rewritable_from,
                                           const FileCalls& calls)
{
    const EarlierFile earlier = look_at_earlier(name);
    if (earlier.exists && !may_write(name)) {
        return failed_at(ReplaceStep::replacing);
    }
    const std::optional<NewFileFailure> failure = replace_through_new_file(name, bytes, earlier, calls);
    if (!failure) {
        sync_working_directory();
        return std::nullopt;
    }
    if (earlier.exists && failure->in_place_may_do) {
        if (const int fd = open_same_beginning(name, bytes, rewritable_from, calls); fd >= 0) {
            return write_in_place(fd, bytes, rewritable_from, calls);
        }
    }
    return failure->failure;
}

std::vector<TemporaryKept> remove_abandoned_temporaries(const std::string& name, const FileCalls& calls)
{
    std::vector<std::string> abandoned;
    if (DIR* directory = ::opendir(".")) {
        while (const dirent* entry = ::readdir(directory)) {
            std::string file = entry->d_name;
            if (const pid_t saver = saver_of(file, name); saver > 0 && save_is_over(file, saver)) {
                abandoned.push_back(std::move(file));
            }
        }
        ::closedir(directory);
    }
    std::vector<TemporaryKept> kept;
    for (const std::string& file : abandoned) {
        // One that is gone already was removed by another save meanwhile.
        if (calls.unlink(file.c_str()) != 0 && errno != ENOENT) {
            kept.push_back(TemporaryKept{file, errno});
        }
    }
    return kept;
}
