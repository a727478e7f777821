#include "output/result_file.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/signals.h"
#include "platform/writes.h"

namespace {

// Stores every line feed as CR LF, as a text file is written here.
class CrLfSink : public TextSink {
public:
    explicit CrLfSink(std::string& bytes) : bytes_(bytes) {}
    void write(std::string_view text) override
    {
        for (const char c : text) {
            if (c == '\n') {
                bytes_.push_back('\r');
            }
            bytes_.push_back(c);
        }
    }

private:
    std::string& bytes_;
};

std::string describe(const char* what, int error) { return std::string(what) + ": " + std::strerror(error); }
std::string describe_errno(const char* what) { return describe(what, errno); }

std::string temporary_name_for(const std::string& name, int attempt)
{
    return name + "." + std::to_string(::getpid()) + "-" + std::to_string(attempt) + ".saving";
}

// A temporary name beside the target, taken by `take` (a call that makes a
// file under it, or names one): a name already taken gets another. Returns
// what `take` returned, the name in `taken`, or -1 with errno.
template <typename Take> int take_temporary_name(const std::string& name, std::string& taken, Take take)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = temporary_name_for(name, attempt);
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

// A replaced result keeps the access and the owner the earlier file had (the
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

// Why a save failed, and whether writing the earlier file in place may do
// instead: where no new file could be had beside it (a directory the user may
// not write, a sticky one where the earlier file is somebody else's, too
// little room for a second copy).
struct Failure {
    std::string reason;
    bool in_place_may_do = false;
};

Failure failure_of(const char* what, int error, bool in_place_may_do = false)
{
    return Failure{describe(what, error), in_place_may_do};
}

// The new file beside the target: one with no name where the system has them,
// so that nothing is left of it should the process be killed; otherwise one
// under a temporary name.
struct NewFile {
    int fd = -1;
    std::string temporary_name; // empty while the file has no name
    bool at_target = false;     // linked straight to the target's name
};

NewFile open_new_file(const std::string& name, const FileCalls& calls)
{
    NewFile file;
    file.fd = calls.open_unnamed(".");
    if (file.fd < 0) {
        file.fd = take_temporary_name(name, file.temporary_name, calls.open_new);
    }
    return file;
}

// Gives a file with no name a name before it is closed: the target's where
// that is free (no other file to replace), a temporary one otherwise, to be
// renamed over the earlier file.
int name_new_file(NewFile& file, const std::string& name, const FileCalls& calls)
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

std::optional<Failure> replace_through_new_file(const std::string& name, std::string_view bytes,
                                                const EarlierFile& earlier, const FileCalls& calls)
{
    NewFile file = open_new_file(name, calls);
    if (file.fd < 0) {
        const int error = errno;
        return failure_of("cannot create a file here", error, is_refusal(error) || is_shortage_of_room(error));
    }
    keep_owner_and_permissions(earlier, file.fd);
    std::optional<Failure> failure;
    if (const int error = write_all(file.fd, bytes, calls.write); error != 0) {
        failure = failure_of("writing failed", error, is_shortage_of_room(error));
    } else if (calls.sync(file.fd) != 0) {
        const int error = errno;
        failure = failure_of("writing failed", error, is_shortage_of_room(error));
    } else if (name_new_file(file, name, calls) != 0) {
        const int error = errno;
        failure = failure_of("cannot replace it", error, is_refusal(error) || is_shortage_of_room(error));
    }
    if (calls.close(file.fd) != 0 && !failure) {
        failure = failure_of("closing failed", errno);
    }
    if (!failure && !file.at_target && calls.rename(file.temporary_name.c_str(), name.c_str()) != 0) {
        const int error = errno;
        failure = failure_of("cannot replace it", error, is_refusal(error));
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

// The earlier file, open to be rewritten where it stands, if it holds the
// same result up to its time line (at time_line in the new bytes; the same
// name holds the same digits):
// then only that line and what follows it are written. -1 otherwise.
int open_same_result(const std::string& name, std::string_view bytes, std::size_t time_line, const FileCalls& calls)
{
    const int fd = calls.open_existing(name.c_str());
    if (fd >= 0 && (time_line == std::string_view::npos || bytes_alike(fd, bytes, time_line) != time_line)) {
        calls.close(fd);
        return -1;
    }
    return fd;
}

// Rewrites the end of the same result in place. The room for any bytes the
// file grows by is reserved first, so that a full disk leaves it as it was
// (the size it had is given back should anything fail).
std::optional<std::string> write_in_place(int fd, std::string_view bytes, std::size_t time_line, const FileCalls& calls)
{
    const auto size = static_cast<off_t>(bytes.size());
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        const std::string failure = describe_errno("writing failed");
        calls.close(fd);
        return failure;
    }
    std::optional<std::string> failure;
    if (size > status.st_size && calls.reserve(fd, status.st_size, size - status.st_size) != 0 && errno != EOPNOTSUPP &&
        errno != EINVAL) {
        failure = describe_errno("writing failed");
    } else if (::lseek(fd, static_cast<off_t>(time_line), SEEK_SET) < 0) {
        failure = describe_errno("writing failed");
    } else if (const int error = write_all(fd, bytes.substr(time_line), calls.write); error != 0) {
        failure = describe("writing failed", error);
    } else if (calls.truncate(fd, size) != 0 || calls.sync(fd) != 0) {
        failure = describe_errno("writing failed");
    }
    if (failure && size > status.st_size) {
        calls.truncate(fd, status.st_size);
    }
    if (calls.close(fd) != 0 && !failure) {
        failure = describe_errno("closing failed");
    }
    return failure;
}

} // namespace

std::string result_file_name(std::int32_t reported_places) { return std::to_string(reported_places) + " dps pi.text"; }

std::string result_file_text(const FinishedRun& run)
{
    std::string bytes;
    CrLfSink file(bytes);
    print(file, "The value of PI is:\n");
    write_layout(file, run.result.span());
    print(file, "\nTerms used = %li\n", static_cast<long>(run.terms_used));
    print(file, "Decimal places = %li\n", static_cast<long>(run.reported_places));
    print(file, "Time taken %li days %li hours %li mins %li secs\n", run.elapsed.days, run.elapsed.hours,
          run.elapsed.minutes, run.elapsed.seconds);
    print(file, "\n");
    return bytes;
}

std::optional<std::string> replace_file(const std::string& name, std::string_view bytes, const FileCalls& calls)
{
    const EarlierFile earlier = look_at_earlier(name);
    if (earlier.exists && !may_write(name)) {
        return describe_errno("cannot replace it");
    }
    const std::optional<Failure> failure = replace_through_new_file(name, bytes, earlier, calls);
    if (!failure) {
        sync_working_directory();
        return std::nullopt;
    }
    if (earlier.exists && failure->in_place_may_do) {
        const std::size_t time_line = bytes.rfind("Time taken ");
        if (const int fd = open_same_result(name, bytes, time_line, calls); fd >= 0) {
            return write_in_place(fd, bytes, time_line, calls);
        }
    }
    return failure->reason;
}

void save_result(TextSink& console, const FileCalls& calls, const FinishedRun& run)
{
    const std::string name = result_file_name(run.reported_places);
    // Ctrl-C and friends must not end the process half-way through, nor
    // before the console has been told how it went.
    const SignalsHeld held(ending_signals);
    if (const std::optional<std::string> failure = replace_file(name, result_file_text(run), calls)) {
        print(console, not_saved_text, name.c_str(), failure->c_str());
    } else {
        print(console, saved_text, name.c_str());
    }
}
