#include "platform/console.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <unistd.h>

#include "platform/system_io.h"

namespace {

// The standard output whose held text an ending writes out first.
std::atomic<const StandardOutput*> output_to_save{nullptr};

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

extern "C" void write_held_text_then_end(int signal_number)
{
    // These signals reach only the main thread, and never while it flushes:
    // the held text can be taken only by an ending on another thread, which
    // ends the process itself.
    if (!claim_held_text(an_ending)) {
        return;
    }
    if (const StandardOutput* output = output_to_save.load()) {
        output->write_held_text();
    }
    // Only signals that had their default action get this handler.
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
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
    struct sigaction action {};
    action.sa_handler = write_held_text_then_end;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < std::size(ending_signals); ++i) {
        sigaction(ending_signals[i], nullptr, &previous_actions_[i]);
        if (previous_actions_[i].sa_handler != SIG_IGN) {
            sigaction(ending_signals[i], &action, nullptr);
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
            flush();
        }
    }
}

void StandardOutput::flush()
{
    const SignalsHeld held({SIGINT, SIGTERM, SIGHUP});
    if (!claim_held_text(a_flush)) {
        wait_for_the_end(); // an ending has the held text, and writes it
    }
    write_out(std::string_view(block_.data(), filled_));
    filled_ = 0;
    held_text_owner = nobody;
}

void StandardOutput::write_out(std::string_view text)
{
    if (failed_ || text.empty()) {
        return;
    }
    if (const int error = write_all(STDOUT_FILENO, text, ::write); error != 0) {
        failed_ = true;
        // Not on the heap: a flush must not run out of memory while it holds the held text.
        std::array<char, 256> message{};
        const int length = std::snprintf(message.data(), message.size(),
                                         "stormer-pi: cannot write to standard output: %s\n", std::strerror(error));
        const auto written = static_cast<std::size_t>(std::clamp(length, 0, static_cast<int>(message.size()) - 1));
        // With nowhere left to say it, nothing more can be done.
        write_all(STDERR_FILENO, std::string_view(message.data(), written), ::write);
    }
}

void StandardError::write(std::string_view text) { write_all(STDERR_FILENO, text, ::write); }

void StandardOutput::write_held_text() const
{
    if (!failed_) {
        write_all(STDOUT_FILENO, std::string_view(block_.data(), filled_), ::write);
    }
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
