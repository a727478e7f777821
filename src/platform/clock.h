#pragma once

#include <cstdint>

// Wall-clock time in whole seconds; only differences are used.
class WallClock {
public:
    virtual ~WallClock() = default;
    virtual std::int64_t seconds() const = 0;
};

class SystemClock : public WallClock {
public:
    std::int64_t seconds() const override;
};
