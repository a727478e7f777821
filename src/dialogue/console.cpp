#include "dialogue/console.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <unistd.h>

#include "output/system_io.h"

namespace {

constexpr int ending_signals[] = {SIGINT, SIGTERM, SIGHUP};

// The standard output whose held text an ending signal writes out first.
std::atomic<const StandardOutput*> output_to_save{nullptr};

extern "C" void write_held_text_then_end(int signal_number)
{
    if (const StandardOutput* output = output_to_save.load()) {
        output->write_held_text();
    }
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

void set_ending_signals(void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    for (const int signal_number : ending_signals) {
        sigaction(signal_number, &action, nullptr);
    }
}

} // namespace

int StandardInput::get()
{
    while (position_ == filled_ && !ended_) {
        const ssize_t count = ::read(STDIN_FILENO, block_.data(), block_.size());
        if (count < 0 && errno == EINTR) {
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
    if (!immediate_) {
        output_to_save = this;
        set_ending_signals(write_held_text_then_end);
    }
}

StandardOutput::~StandardOutput()
{
    flush();
    if (!immediate_) {
        set_ending_signals(SIG_DFL);
        output_to_save = nullptr;
    }
}

void StandardOutput::write(std::string_view text)
{
    if (immediate_) {
        write_all(STDOUT_FILENO, text, ::write); // with nowhere to say it, nothing more can be done
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
    write_held_text();
    filled_ = 0;
}

void StandardOutput::write_held_text() const
{
    write_all(STDOUT_FILENO, std::string_view(block_.data(), filled_), ::write);
}
