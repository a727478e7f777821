#include "dialogue/console.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace {

void write_fully(int fd, std::string_view text)
{
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return; // nowhere left to say anything
        }
        text.remove_prefix(static_cast<std::size_t>(written));
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

StandardOutput::StandardOutput() : immediate_(::isatty(STDOUT_FILENO) == 1) {}

StandardOutput::~StandardOutput() { flush(); }

void StandardOutput::write(std::string_view text)
{
    if (immediate_) {
        write_fully(STDOUT_FILENO, text);
        return;
    }
    while (!text.empty()) {
        const std::size_t taken = std::min(text.size(), block_.size() - filled_);
        std::copy_n(text.data(), taken, block_.data() + filled_);
        filled_ += taken;
        text.remove_prefix(taken);
        if (filled_ == block_.size()) {
            flush();
        }
    }
}

void StandardOutput::flush()
{
    write_fully(STDOUT_FILENO, std::string_view(block_.data(), filled_));
    filled_ = 0;
}
