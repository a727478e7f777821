#include "platform/console.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <string>
#include <unistd.h>

#include "platform/system_io.h"

namespace {

// The standard output whose held text an ending signal writes out first.
std::atomic<const StandardOutput*> output_to_save{nullptr};

extern "C" void write_held_text_then_end(int signal_number)
{
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
    write_out(std::string_view(block_.data(), filled_));
    filled_ = 0;
}

void StandardOutput::write_out(std::string_view text)
{
    if (failed_ || text.empty()) {
        return;
    }
    if (const int error = write_all(STDOUT_FILENO, text, ::write); error != 0) {
        failed_ = true;
        const std::string message =
            std::string("stormer-pi: cannot write to standard output: ") + std::strerror(error) + "\n";
        write_all(STDERR_FILENO, message, ::write); // with nowhere left to say it, nothing more can be done
    }
}

void StandardOutput::write_held_text() const
{
    if (!failed_) {
        write_all(STDOUT_FILENO, std::string_view(block_.data(), filled_), ::write);
    }
}

void report_file_size_limit_as_failure() { std::signal(SIGXFSZ, SIG_IGN); }
