#pragma once

// The result file: its name, its text and its safe replacement on disk. It may
// use the engine (the decimal layout) and the platform layer (system calls).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "output/finished_run.h"
#include "platform/files.h"
#include "platform/text_sink.h"

// "999 dps pi.text" for 999 reported places, in the current directory.
std::string result_file_name(std::int32_t reported_places);

// The file's bytes, every line ending CR LF.
std::string result_file_text(const FinishedRun& run);

// Puts bytes into the file of that name whole, through a new file in the same
// directory (one with no name until it is complete, where the system has
// them, so that a killed save leaves nothing behind), or leaves any earlier
// file as it was. An earlier file keeps its permissions and, where the user
// may give it, its owner; one the user could not open for writing is not
// replaced. A symbolic link at the name is replaced, its target never written.
// Where no new file can be had there (the directory is not the user's to
// write, or it is sticky and the earlier file somebody else's, or there is no
// room for two copies) but the earlier file holds the same result up to its
// time line, that line and what follows are rewritten in place. Returns the
// reason on failure.
std::optional<std::string> replace_file(const std::string& name, std::string_view bytes, const FileCalls& calls);

// Saves a run's result and says on the console whether it worked (in these
// words), before any signal that arrives meanwhile takes effect.
constexpr const char* saved_text = "\nSaved %s to disk...\n";
constexpr const char* not_saved_text = "\nCould not save %s to disk (%s).\n";
void save_result(TextSink& console, const FileCalls& calls, const FinishedRun& run);
