#include "platform/signals.h"

#include <pthread.h>

sigset_t asynchronous_signals()
{
    sigset_t signals;
    sigfillset(&signals);
    for (const int own : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGPIPE, SIGXFSZ, SIGABRT}) {
        sigdelset(&signals, own);
    }
    return signals;
}

SignalsHeld::SignalsHeld(std::span<const int> signal_numbers)
{
    sigset_t held;
    sigemptyset(&held);
    for (const int signal_number : signal_numbers) {
        sigaddset(&held, signal_number);
    }
    pthread_sigmask(SIG_BLOCK, &held, &previous_);
}

SignalsHeld::SignalsHeld(const sigset_t& signals) { pthread_sigmask(SIG_BLOCK, &signals, &previous_); }

SignalsHeld::~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

SignalsLetThrough::SignalsLetThrough(const sigset_t& signals) { pthread_sigmask(SIG_UNBLOCK, &signals, &previous_); }

SignalsLetThrough::~SignalsLetThrough() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
