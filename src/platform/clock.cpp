#include "platform/clock.h"

#include <ctime>

std::int64_t SystemClock::seconds() const { return static_cast<std::int64_t>(std::time(nullptr)); }
