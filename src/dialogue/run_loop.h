#pragma once

// The console dialogue: the program's entry and its run loop, the questions
// and their checks, the console report. It uses every folder below it: the
// engine to compute, the output to save, the platform for streams, clock,
// memory and files.

#include <cstdint>

#include "engine/pi_engine.h"
#include "engine/stormer_series.h"
#include "platform/byte_source.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/text_sink.h"

// The sizes the dialogue accepts: the most is the largest run the engines
// sum (stormer_series.h).
constexpr std::int32_t fewest_places = 10;
constexpr std::int32_t most_places = 1'600'000;
static_assert(run_size_for(most_places).limbs == largest_run.limbs);

// What a run uses besides the conversation's streams, each passed in as an
// object that tests replace: the engine, the clock, the memory check, and the
// table of the file calls a save makes.
struct RunServices {
    PiEngine& engine;
    const WallClock& clock;
    const MemoryCheck& memory;
    const FileCalls& files;
};

// The most threads, from the engine's most down to one, whose memory can be
// had for a run of this size, its result included; 0 where not even one
// thread's can.
unsigned threads_within_memory(const PiEngine& engine, RunSize size, const MemoryCheck& memory);

// The whole conversation, from the banner to the end of input or the quit
// answer (exit_done), or an overflow in the summation (exit_overflow).
int run_dialogue(ByteSource& input, TextSink& output, const RunServices& services);
