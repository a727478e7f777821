#include "platform/console.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <poll.h>
#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

#include "platform/signals.h"
#include "platform/writes.h"

namespace {

// The standard output whose held text an ending writes out first.
std::atomic<StandardOutput*> output_to_save{nullptr};

// Who may write the held text: a flush, for as long as it writes its block,
// or an ending (a signal, or memory run out), for good.
enum HeldTextOwner : int { nobody, a_flush, an_ending };
std::atomic<int> held_text_owner{nobody};

bool claim_held_text(int owner)
{
    int expected = nobody;
    return held_text_owner.compare_exchange_strong(expected, owner);
}

// For a thread that finds another one ending the process.
[[noreturn]] void wait_for_the_end()
{
    for (;;) {
        ::pause();
    }
}

// How long an ending waits for a reader that takes nothing.
constexpr long moment_milliseconds = 750;

extern "C" void interrupt_only(int) {}

// From now until the process ends, a write or wait that blocks returns every
// fiftieth of a second, so that an ending can give up on a reader that takes
// nothing. Safe in a signal handler.
void keep_interrupting()
{
    struct sigaction action {};
    action.sa_handler = interrupt_only; // no SA_RESTART: the call returns
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, nullptr);
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_UNBLOCK, &alarm, nullptr);
    const itimerval every{{0, 20'000}, {0, 20'000}};
    setitimer(ITIMER_REAL, &every, nullptr);
}

long milliseconds_since(const timespec& start)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1'000'000;
}

// Writes what the reader takes of the pieces, in order, within a moment, and
// gives up the rest. Safe in a signal handler.
void write_for_a_moment(std::initializer_list<std::string_view> pieces)
{
    keep_interrupting();
    // A reader that has gone does not end the process here: the ending's own
    // signal does.
    sigset_t broken_pipe;
    sigemptyset(&broken_pipe);
    sigaddset(&broken_pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &broken_pipe, nullptr);
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (std::string_view piece : pieces) {
        while (!piece.empty()) {
            const long left = moment_milliseconds - milliseconds_since(start);
            if (left <= 0) {
                return;
            }
            const ssize_t count = ::write(STDOUT_FILENO, piece.data(), piece.size());
            if (count > 0) {
                piece.remove_prefix(static_cast<std::size_t>(count));
            } else if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                pollfd ready{STDOUT_FILENO, POLLOUT, 0};
                ::poll(&ready, 1, static_cast<int>(left));
            } else if (count == 0 || errno != EINTR) {
                return;
            }
        }
    }
}

// Ends the process by the signal's own default action. Safe in a signal
// handler (held there, the signal is let through here).
[[noreturn]] void end_by(int signal_number)
{
    std::signal(signal_number, SIG_DFL);
    sigset_t own;
    sigemptyset(&own);
    sigaddset(&own, signal_number);
    pthread_sigmask(SIG_UNBLOCK, &own, nullptr);
    std::raise(signal_number);
    ::_exit(128 + signal_number); // only should its action not end the process after all
}

[[noreturn]] void end_for_failed_output(int error)
{
    // Not on the heap: a flush must not run out of memory while it holds the held text.
    std::array<char, 256> message{};
    const int length = std::snprintf(message.data(), message.size(),
                                     "stormer-pi: cannot write to standard output: %s\n", std::strerror(error));
    const auto written = static_cast<std::size_t>(std::clamp(length, 0, static_cast<int>(message.size()) - 1));
    // With nowhere left to say it, nothing more can be done.
    write_all(STDERR_FILENO, std::string_view(message.data(), written), ::write);
    ::_exit(exit_output_failed);
}

extern "C" void end_by_ending_signal(int signal_number)
{
    const int saved_errno = errno;
    if (StandardOutput* output = output_to_save.load()) {
        output->end_by_signal(signal_number);
    }
    errno = saved_errno;
}

} // namespace

int StandardInput::get()
{
    while (position_ == filled_ && !ended_) {
        const ssize_t count = ::read(STDIN_FILENO, block_.data(), block_.size());
        if (try_again(count, STDIN_FILENO, POLLIN)) {
            continue;
        }
        if (count <= 0) {
            ended_ = true;
        } else {
            position_ = 0;
            filled_ = static_cast<std::size_t>(count);
        }
    }
    if (position_ == filled_) {
        return end_of_input;
    }
    return block_[position_++];
}

StandardOutput::StandardOutput() : immediate_(::isatty(STDOUT_FILENO) == 1)
{
    if (immediate_) {
        return;
    }
    output_to_save = this;
    sigset_t held_at_start;
    pthread_sigmask(SIG_BLOCK, nullptr, &held_at_start);
    sigemptyset(&let_through_);
    struct sigaction action {};
    action.sa_handler = end_by_ending_signal; // no SA_RESTART: a blocked write returns
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < std::size(ending_signals); ++i) {
        sigaction(ending_signals[i], nullptr, &previous_actions_[i]);
        if (previous_actions_[i].sa_handler != SIG_IGN) {
            sigaction(ending_signals[i], &action, nullptr);
            if (sigismember(&held_at_start, ending_signals[i]) == 0) {
                sigaddset(&let_through_, ending_signals[i]);
            }
        }
    }
}

StandardOutput::~StandardOutput()
{
    flush();
    if (!immediate_) {
        for (std::size_t i = 0; i < std::size(ending_signals); ++i) {
            sigaction(ending_signals[i], &previous_actions_[i], nullptr);
        }
        output_to_save = nullptr;
    }
}

void StandardOutput::write(std::string_view text)
{
    if (immediate_) {
        write_out(text);
        return;
    }
    while (!text.empty()) {
        const std::size_t filled = filled_;
        const std::size_t taken = std::min(text.size(), block_.size() - filled);
        std::copy_n(text.data(), taken, block_.data() + filled);
        filled_ = filled + taken;
        text.remove_prefix(taken);
        if (filled_ == block_.size()) {
            flush_then(text);
        }
    }
}

void StandardOutput::flush()
{
    if (!immediate_) {
        flush_then({});
    }
}

// `still_to_come` is the rest of the write that filled the block: an ending
// during the flush writes it after the block.
void StandardOutput::flush_then(std::string_view still_to_come)
{
    if (!claim_held_text(a_flush)) {
        wait_for_the_end(); // an ending has the held text, and writes it
    }
    {
        const SignalsLetThrough let_through(let_through_);
        write_block(std::string_view(block_.data(), filled_), still_to_come);
    }
    filled_ = 0;
    held_text_owner = nobody;
    // One that came after the block's last write.
    if (const int signal_number = signal_during_flush_.load(); signal_number != 0 && claim_held_text(an_ending)) {
        write_for_a_moment({still_to_come});
        end_by(signal_number);
    }
}

void StandardOutput::write_block(std::string_view block, std::string_view still_to_come)
{
    std::size_t written = 0;
    while (written < block.size()) {
        if (const int signal_number = signal_during_flush_.load(); signal_number != 0) {
            held_text_owner = an_ending; // from this flush, which has it
            write_for_a_moment({block.substr(written), still_to_come});
            end_by(signal_number);
        }
        const ssize_t count = ::write(STDOUT_FILENO, block.data() + written, block.size() - written);
        if (try_again(count, STDOUT_FILENO, POLLOUT)) {
            continue;
        }
        if (count <= 0) {
            end_for_failed_output(count == 0 ? EIO : errno);
        }
        written += static_cast<std::size_t>(count);
    }
}

void StandardOutput::write_out(std::string_view text)
{
    if (const int error = write_all(STDOUT_FILENO, text, ::write); error != 0) {
        end_for_failed_output(error);
    }
}

void StandardOutput::end_by_signal(int signal_number)
{
    if (claim_held_text(an_ending)) {
        write_for_a_moment({std::string_view(block_.data(), filled_)});
        end_by(signal_number);
    }
    if (held_text_owner.load() == a_flush) {
        // Interrupted, its write returns; should the signal have come just
        // before the write began, the interruptions that follow end it.
        signal_during_flush_ = signal_number;
        keep_interrupting();
    }
    // Otherwise an ending on another thread has the held text, and ends the process.
}

void StandardError::write(std::string_view text) { write_all(STDERR_FILENO, text, ::write); }

void StandardOutput::write_held_text() const
{
    write_all(STDOUT_FILENO, std::string_view(block_.data(), filled_), ::write);
}

void end_for_want_of_memory() noexcept
{
    // A flush under way finishes first: its block is not written twice.
    while (!claim_held_text(an_ending)) {
        if (held_text_owner.load() == an_ending) {
            wait_for_the_end();
        }
        const timespec a_moment{0, 1'000'000};
        ::nanosleep(&a_moment, nullptr);
    }
    if (const StandardOutput* output = output_to_save.load()) {
        output->write_held_text();
    }
    write_all(STDERR_FILENO, "stormer-pi: out of memory\n", ::write);
    ::_exit(exit_out_of_memory);
}

void report_file_size_limit_as_failure() { std::signal(SIGXFSZ, SIG_IGN); }
