#pragma once

#include <array>
#include <atomic>
#include <csignal>
#include <cstddef>

#include "platform/byte_source.h"
#include "platform/exit_status.h"
#include "platform/signals.h"
#include "platform/text_sink.h"

// Standard input, read in blocks as they come. A descriptor left non-blocking
// by somebody else is waited on, not taken for the end of input.
class StandardInput : public ByteSource {
public:
    int get() override;

private:
    std::array<unsigned char, 4096> block_{};
    std::size_t position_ = 0;
    std::size_t filled_ = 0;
    bool ended_ = false;
};

// Standard output: on a terminal each write shows at once; otherwise the text
// goes out in blocks of 4096 bytes, the last when this is flushed or destroyed,
// or when an interrupt, hang-up, termination or quit signal ends the process (a
// signal the parent chose to ignore stays ignored). There is one, for the
// process's standard output, written by the thread that takes those signals.
//
// A write that fails is said on standard error, and the process ends at once
// with exit_output_failed: nothing it does after can reach its user.
//
// Its text is written once whatever ends the process: the held text goes out
// either by a flush or by the ending, never by both. An ending signal that
// comes while a block waits for its reader ends the process all the same:
// what the reader takes of the rest within three quarters of a second goes
// out, and the rest is given up.
class StandardOutput : public TextSink {
public:
    StandardOutput();
    ~StandardOutput() override;
    StandardOutput(const StandardOutput&) = delete;
    StandardOutput& operator=(const StandardOutput&) = delete;

    void write(std::string_view text) override;
    void flush();

    // For the ending signals' handler. Where no flush is under way: writes
    // out what is held, for three quarters of a second at most, and ends the
    // process by the signal. Where one is, it alone knows how much of its
    // block is out: it is left to end the process, and this returns.
    void end_by_signal(int signal_number);
    // What an ending that has the held text to itself may do: write out what
    // is held, as it stands, whatever that takes.
    void write_held_text() const;

private:
    void flush_then(std::string_view still_to_come);
    void write_block(std::string_view block, std::string_view still_to_come);
    void write_out(std::string_view text);

    bool immediate_;
    std::array<char, 4096> block_{};
    // Raised only after the bytes are in place, so a signal handler never
    // writes bytes that are not there yet.
    std::atomic<std::size_t> filled_ = 0;
    // An ending signal that came during a flush, for the flush to end by.
    std::atomic<int> signal_during_flush_ = 0;
    // The ending signals a flush lets through, even where they are held
    // around it (as during a save): those handled here that were not held
    // when the program started.
    sigset_t let_through_{};
    struct sigaction previous_actions_[std::size(ending_signals)]{};
};

// Standard error, for the rare word to the user that is not part of the
// conversation: each write goes out at once, whole.
class StandardError : public TextSink {
public:
    void write(std::string_view text) override;
};

// Ends the process for want of memory: the held standard output written out,
// "stormer-pi: out of memory" on standard error, status exit_out_of_memory.
// Callable from any thread at any moment, two at once included; it allocates
// nothing and never returns.
[[noreturn]] void end_for_want_of_memory() noexcept;

// A file-size limit makes writes fail with EFBIG instead of ending the process,
// so a save over the limit is reported and the conversation goes on.
void report_file_size_limit_as_failure();
