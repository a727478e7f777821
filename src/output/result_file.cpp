#include "output/result_file.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

std::string describe_errno(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// Opens a temporary file beside the target; a name already taken gets another.
int open_temporary(const std::string& name, const FileCalls& calls, std::string& temporary_name)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary_name = name + "." + std::to_string(::getpid()) + "-" + std::to_string(attempt) + ".saving";
        const int fd = calls.open_new(temporary_name.c_str());
        if (fd >= 0 || errno != EEXIST) {
            return fd;
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

} // namespace

std::string result_file_name(std::int32_t reported_places) { return std::to_string(reported_places) + " dps pi.text"; }

std::string result_file_text(ConstLimbSpan result, std::int32_t terms_used, std::int32_t reported_places,
                             const ElapsedTime& elapsed)
{
    std::string bytes;
    CrLfSink file(bytes);
    print(file, "The value of PI is:\n");
    write_layout(file, result);
    print(file, "\nTerms used = %li\n", static_cast<long>(terms_used));
    print(file, "Decimal places = %li\n", static_cast<long>(reported_places));
    print(file, "Time taken %li days %li hours %li mins %li secs\n", elapsed.days, elapsed.hours, elapsed.minutes,
          elapsed.seconds);
    print(file, "\n");
    return bytes;
}

std::optional<std::string> replace_file(const std::string& name, std::string_view bytes, const FileCalls& calls)
{
    const EarlierFile earlier = look_at_earlier(name);
    if (earlier.exists && !may_write(name)) {
        return describe_errno("cannot replace it");
    }
    std::string temporary_name;
    const int fd = open_temporary(name, calls, temporary_name);
    if (fd < 0) {
        return describe_errno("cannot create a file here");
    }
    keep_owner_and_permissions(earlier, fd);
    std::optional<std::string> failure;
    if (const int error = write_all(fd, bytes, calls.write); error != 0) {
        errno = error;
        failure = describe_errno("writing failed");
    }
    if (!failure && calls.sync(fd) != 0) {
        failure = describe_errno("writing failed");
    }
    if (calls.close(fd) != 0 && !failure) {
        failure = describe_errno("closing failed");
    }
    if (!failure && calls.rename(temporary_name.c_str(), name.c_str()) != 0) {
        failure = describe_errno("cannot replace it");
    }
    if (failure) {
        calls.unlink(temporary_name.c_str());
    } else {
        sync_working_directory();
    }
    return failure;
}

void save_result(TextSink& console, const FileCalls& calls, ConstLimbSpan result, std::int32_t terms_used,
                 std::int32_t reported_places, const ElapsedTime& elapsed)
{
    const std::string name = result_file_name(reported_places);
    // Ctrl-C and friends must not end the process half-way through, nor
    // before the console has been told how it went.
    const SignalsHeld held({SIGINT, SIGTERM, SIGHUP, SIGQUIT});
    const std::optional<std::string> failure =
        replace_file(name, result_file_text(result, terms_used, reported_places, elapsed), calls);
    if (failure) {
        print(console, "\nCould not save %s to disk (%s).\n", name.c_str(), failure->c_str());
    } else {
        print(console, "\nSaved %s to disk...\n", name.c_str());
    }
}
