#pragma once

#include <cstdint>
#include <optional>

#include "engine/limb_number.h"
#include "engine/text_sink.h"

// Fills numbers.result with pi from freshly zeroed run numbers and returns the
// terms used, writing progress lines on the way. Empty after an overflow, whose
// message has then been written; the caller ends the process with status 1.
using SeriesSummation = std::optional<std::int32_t> (*)(RunNumbers& numbers, TextSink& progress);

// The combined arctangent series summed limb by limb, one term at a time.
std::optional<std::int32_t> sum_series_by_terms(RunNumbers& numbers, TextSink& progress);
