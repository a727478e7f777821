#include "output/finished_run.h"

ElapsedTime split_elapsed(std::int64_t elapsed_seconds)
{
    const auto e = static_cast<long>(elapsed_seconds);
    return ElapsedTime{e / 86400, (e / 3600) % 24, (e / 60) % 60, e % 60};
}
