#include "output/result_file.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "output/system_io.h"

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

int open_new_file(const char* path) { return ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666); }

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

// A replaced result keeps the access its owner gave the earlier file; a new
// one gets the usual 0666 less the umask. Failing here costs nothing worse.
void keep_permissions_of(const std::string& name, int fd)
{
    struct stat earlier {};
    if (::stat(name.c_str(), &earlier) == 0 && S_ISREG(earlier.st_mode)) {
        ::fchmod(fd, earlier.st_mode & 0777);
    }
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

ElapsedTime split_elapsed(std::int64_t elapsed_seconds)
{
    const auto e = static_cast<long>(elapsed_seconds);
    return ElapsedTime{e / 86400, (e / 3600) % 24, (e / 60) % 60, e % 60};
}

std::string result_file_name(std::int32_t reported_places) { return std::to_string(reported_places) + " dps pi.text"; }

std::string result_file_text(const RunReport& report)
{
    std::string bytes;
    CrLfSink file(bytes);
    print(file, "The value of PI is:\n");
    write_layout(file, report.result);
    print(file, "\nTerms used = %li\n", static_cast<long>(report.terms_used));
    print(file, "Decimal places = %li\n", static_cast<long>(report.reported_places));
    print(file, "Time taken %li days %li hours %li mins %li secs\n", report.elapsed.days, report.elapsed.hours,
          report.elapsed.minutes, report.elapsed.seconds);
    print(file, "\n");
    return bytes;
}

const FileCalls& system_file_calls()
{
    static const FileCalls calls{open_new_file, ::write, ::fsync, ::close, ::rename, ::unlink};
    return calls;
}

std::optional<std::string> replace_file(const std::string& name, std::string_view bytes, const FileCalls& calls)
{
    std::string temporary_name;
    const int fd = open_temporary(name, calls, temporary_name);
    if (fd < 0) {
        return describe_errno("cannot create a file here");
    }
    keep_permissions_of(name, fd);
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

void save_result(const RunReport& report, TextSink& console, const FileCalls& calls)
{
    const std::string name = result_file_name(report.reported_places);
    std::optional<std::string> failure;
    {
        // Ctrl-C and friends must not end the process half-way through.
        const SignalsHeld held({SIGINT, SIGTERM, SIGHUP, SIGQUIT});
        failure = replace_file(name, result_file_text(report), calls);
    }
    if (failure) {
        print(console, "\nCould not save %s to disk (%s).\n", name.c_str(), failure->c_str());
    } else {
        print(console, "\nSaved %s to disk...\n", name.c_str());
    }
}
