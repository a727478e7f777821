#pragma once

// What the tests share: stand-ins for the program's streams, clock, memory
// and engine, and small readers.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unistd.h>
#include <utility>
#include <vector>

#include "engine/pi_engine.h"
#include "platform/byte_source.h"
#include "platform/clock.h"
#include "platform/memory.h"
#include "platform/text_sink.h"

// Collects everything written.
class StringSink : public TextSink {
public:
    void write(std::string_view text) override { text_.append(text); }
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

// Bytes held in memory, as typed.
class MemorySource : public ByteSource {
public:
    explicit MemorySource(std::string bytes) : bytes_(std::move(bytes)) {}
    int get() override
    {
        if (position_ >= bytes_.size()) {
            return end_of_input;
        }
        return static_cast<unsigned char>(bytes_[position_++]);
    }

private:
    std::string bytes_;
    std::size_t position_ = 0;
};

// A clock that reads what it is told: always the same, unless a reading says
// otherwise.
class FrozenClock : public WallClock {
public:
    explicit FrozenClock(std::int64_t seconds = 0) : reading_([seconds] { return seconds; }) {}
    explicit FrozenClock(std::function<std::int64_t()> reading) : reading_(std::move(reading)) {}
    std::int64_t seconds() const override { return reading_(); }

private:
    std::function<std::int64_t()> reading_;
};

// Memory as a test says: any need, unless a rule says otherwise.
class MemoryAsSaid : public MemoryCheck {
public:
    MemoryAsSaid() : rule_([](std::size_t, std::size_t) { return true; }) {}
    explicit MemoryAsSaid(std::function<bool(std::size_t address_space, std::size_t resident)> rule)
        : rule_(std::move(rule))
    {
    }
    bool can_be_had(std::size_t address_space, std::size_t resident) const override
    {
        return rule_(address_space, resident);
    }

private:
    std::function<bool(std::size_t, std::size_t)> rule_;
};

// Answers at once whatever the size: a result of 3 and one term.
class InstantEngine : public PiEngine {
public:
    MemoryNeed memory_needed(RunSize) const override { return {}; }
    SumOutcome sum_into(RunSize, LimbSpan result, TextSink&, unsigned) override
    {
        result[0] = 3;
        return SumOutcome{1, SumFailure::none};
    }
};

// A limb number in its decimal layout.
inline std::string layout_of(ConstLimbSpan x)
{
    StringSink sink;
    write_layout(sink, x);
    return sink.text();
}

// Everything that can be read from fd until its end; then closes it.
inline std::string read_all(int fd)
{
    std::string bytes;
    char block[4096];
    for (ssize_t count; (count = ::read(fd, block, sizeof block)) > 0;) {
        bytes.append(block, static_cast<std::size_t>(count));
    }
    ::close(fd);
    return bytes;
}
