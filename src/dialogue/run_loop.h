#pragma once

// The console dialogue: the program's entry and its run loop, the questions
// and their checks, the console report. It uses every folder below it: the
// engine to compute, the output to save, the platform for streams, clock and
// memory.

#include <cstdint>
#include <functional>

#include "engine/limb_number.h"
#include "engine/pi_engine.h"
#include "output/elapsed_time.h"
#include "platform/byte_source.h"
#include "platform/system_io.h"
#include "platform/text_sink.h"

// How the process ends: the quit answer or the end of input, or an overflow
// in the summation. (Standard output that cannot be written ends it with
// exit_output_failed, 2, and memory that runs out after all with
// exit_out_of_memory, 3: platform/console.h.)
constexpr int exit_done = 0;
constexpr int exit_overflow = 1;

// What one run has to report and save.
struct RunReport {
    ConstLimbSpan result;
    std::int32_t terms_used = 0;
    std::int32_t reported_places = 0;
    ElapsedTime elapsed;
};

using ResultSaver = std::function<void(TextSink& console, const RunReport& report)>;
// Saves into the current directory through the system's own file calls.
void save_in_working_directory(TextSink& console, const RunReport& report);

// What a run uses besides the conversation's streams; tests replace any of it.
struct RunServices {
    PiEngine& engine;
    WallClock wall_clock = system_wall_clock;
    ResultSaver save = save_in_working_directory;
    MemoryTest memory_can_be_had = ::memory_can_be_had;
};

// The whole conversation, from the banner to the end of input or the quit
// answer (exit_done), or an overflow in the summation (exit_overflow). It
// stops asking once the output is broken.
int run_dialogue(ByteSource& input, TextSink& output, const RunServices& services);
