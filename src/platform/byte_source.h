#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Raw bytes as they arrive: a value 0..255, or end_of_input for good.
class ByteSource {
public:
    static constexpr int end_of_input = -1;
    virtual ~ByteSource() = default;
    virtual int get() = 0;
};

// Bytes held in memory, for tests.
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
