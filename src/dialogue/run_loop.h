#pragma once

#include <cstdint>
#include <optional>

#include "dialogue/byte_source.h"
#include "engine/limb_number.h"
#include "engine/remainder_summation.h"
#include "engine/series_summation.h"
#include "engine/text_sink.h"
#include "output/result_file.h"

// Wall-clock time in whole seconds; only differences are used.
using WallClock = std::int64_t (*)();
std::int64_t system_wall_clock();

using NumbersAllocator = std::optional<RunNumbers> (*)(std::int32_t limb_count);
// The five numbers, provided the engine's own working memory can be had too.
std::optional<RunNumbers> allocate_for_remainder_summation(std::int32_t limb_count);

// What a run uses besides the conversation's streams; tests replace any of it.
struct RunServices {
    SeriesSummation summation = sum_series_by_remainders;
    WallClock wall_clock = system_wall_clock;
    NumbersAllocator allocate_numbers = allocate_for_remainder_summation;
    const FileCalls* file_calls = &system_file_calls();
};

// The whole conversation, from the banner to the end of input or the quit
// answer (status 0), or an overflow in the summation (status 1).
int run_dialogue(ByteSource& input, TextSink& output, const RunServices& services = {});
