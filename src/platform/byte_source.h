#pragma once

// Raw bytes as they arrive: a value 0..255, or end_of_input for good.
class ByteSource {
public:
    static constexpr int end_of_input = -1;
    virtual ~ByteSource() = default;
    virtual int get() = 0;
};
