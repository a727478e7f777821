#pragma once

#include <array>
#include <atomic>
#include <cstddef>

#include "dialogue/byte_source.h"
#include "engine/text_sink.h"

// Standard input, read in blocks as they come.
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
// or when an interrupt, hang-up or termination signal ends the process.
// There is one, for the process's standard output.
class StandardOutput : public TextSink {
public:
    StandardOutput();
    ~StandardOutput() override;
    StandardOutput(const StandardOutput&) = delete;
    StandardOutput& operator=(const StandardOutput&) = delete;

    void write(std::string_view text) override;
    void flush();
    // What a signal handler may do: write out what is held, as it stands.
    void write_held_text() const;

private:
    bool immediate_;
    std::array<char, 4096> block_{};
    // Raised only after the bytes are in place, so a signal handler never
    // writes bytes that are not there yet.
    std::atomic<std::size_t> filled_ = 0;
};
