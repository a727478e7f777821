#pragma once

// The signals this program takes care of: the ones that end it from outside,
// and holding signals back or letting them through in one thread.

#include <array>
#include <csignal>
#include <span>

// Interrupt, termination, hang-up and quit: each ends the process, the output
// held so far written out first, and none ends a save half-way.
inline constexpr std::array<int, 4> ending_signals{SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Every signal sent to the process from outside: all but those a thread
// brings on itself (a fault, a broken pipe, a file too large, abort).
sigset_t asynchronous_signals();

// Holds the given signals back in this thread for its lifetime; any that
// arrive meanwhile take effect when it ends.
class SignalsHeld {
public:
    explicit SignalsHeld(std::span<const int> signal_numbers);
    explicit SignalsHeld(const sigset_t& signals);
    ~SignalsHeld();
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t previous_{};
};

// Lets the given signals through in this thread for its lifetime, even where
// they are held back around it; then holds back again what was held.
class SignalsLetThrough {
public:
    explicit SignalsLetThrough(const sigset_t& signals);
    ~SignalsLetThrough();
    SignalsLetThrough(const SignalsLetThrough&) = delete;
    SignalsLetThrough& operator=(const SignalsLetThrough&) = delete;

private:
    sigset_t previous_{};
};
