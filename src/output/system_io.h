#pragma once

#include <csignal>
#include <cstddef>
#include <initializer_list>
#include <string_view>
#include <sys/types.h>

using WriteCall = ssize_t (*)(int fd, const void* bytes, std::size_t count);

// Writes all of bytes, through short writes and interruptions. Returns 0, or
// the errno of the write that failed (EIO for one that wrote nothing).
int write_all(int fd, std::string_view bytes, WriteCall write);

// Holds the given signals back in this thread for its lifetime; any that
// arrive meanwhile take effect when it ends.
class SignalsHeld {
public:
    explicit SignalsHeld(std::initializer_list<int> signal_numbers);
    ~SignalsHeld();
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t previous_{};
};
