#pragma once

// The result file: its name, its text and saving it. It may use the engine
// (the decimal layout) and the platform layer (replacing a file whole).

#include <cstddef>
#include <cstdint>
#include <string>

#include "output/finished_run.h"
#include "platform/files.h"
#include "platform/text_sink.h"

// "999 dps pi.text" for 999 reported places, in the current directory.
std::string result_file_name(std::int32_t reported_places);

// The file's bytes, every line ending CR LF, and where its time line begins:
// the same result always has the same bytes before it.
struct ResultFileText {
    std::string bytes;
    std::size_t time_line = 0;
};
ResultFileText result_file_text(const FinishedRun& run);

// Saves a run's result, replacing any earlier file of its name whole (an
// earlier file of the same result may have its time line rewritten in
// place), and says on the console whether it worked, before any signal that
// arrives meanwhile takes effect.
void save_result(TextSink& console, const FileCalls& calls, const FinishedRun& run);
