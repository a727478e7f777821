#pragma once

#include <cstdint>
#include <optional>

#include "engine/limb_number.h"
#include "engine/text_sink.h"

// The same result limbs, terms used and progress lines as sum_series_by_terms,
// found without summing the terms one by one: see remainder_summation.cpp.
std::optional<std::int32_t> sum_series_by_remainders(RunNumbers& numbers, TextSink& progress);

// The same without the safety net: empty when the fast arithmetic cannot vouch
// for its result (never seen), where the above falls back to the term-by-term
// sum. The result limbs are then untouched.
std::optional<std::int32_t> try_sum_series_by_remainders(RunNumbers& numbers, TextSink& progress);

// Whether the address space this engine needs at that size can be had now.
// Its big-number arithmetic cannot recover from a failed allocation, so the
// shortage has to be found before it starts.
bool remainder_summation_fits(std::int32_t limb_count);
