#include "output/system_io.h"

#include <cerrno>
#include <pthread.h>

int write_all(int fd, std::string_view bytes, WriteCall write)
{
    while (!bytes.empty()) {
        const ssize_t written = write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return written == 0 ? EIO : errno;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return 0;
}

SignalsHeld::SignalsHeld(std::initializer_list<int> signal_numbers)
{
    sigset_t held;
    sigemptyset(&held);
    for (const int signal_number : signal_numbers) {
        sigaddset(&held, signal_number);
    }
    pthread_sigmask(SIG_BLOCK, &held, &previous_);
}

SignalsHeld::~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
